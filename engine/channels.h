// The IEEE 802.15.4 channels of the 2.4 GHz band that the dongle listens on,
// and their names as every face shows them (the channel box, what
// quillmark-extcap offers Wireshark, the headless command's checks).
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t CHANNEL_FIRST = 11;
constexpr int32_t CHANNEL_LAST = 26;
constexpr int32_t CHANNEL_COUNT = CHANNEL_LAST - CHANNEL_FIRST + 1;

inline bool IsValidChannel(int32_t nChannel)
{
    return nChannel >= CHANNEL_FIRST && nChannel <= CHANNEL_LAST;
}

// A stored channel outside 11..26 stands for the first one, as the channel
// box shows it.
inline int32_t StoredChannelOrFirst(int32_t nStored)
{
    return IsValidChannel(nStored) ? nStored : CHANNEL_FIRST;
}

// "15 (0x0F)  2.425 GHz" for channel 15 (CHANNEL_FIRST..CHANNEL_LAST).
std::string ChannelText(int32_t nChannel);
