// The name of a channel as the channel box shows it, shared by every face and
// by what quillmark-extcap offers Wireshark.
#pragma once

#include <cstdint>
#include <string>

// "15 (0x0F)  2.425 GHz" for channel 15 (CHANNEL_FIRST..CHANNEL_LAST).
std::string ChannelText(int32_t nChannel);
