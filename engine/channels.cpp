#include "engine/channels.h"

#include <cstdio>

namespace {

constexpr int32_t CHANNEL_BASE_MHZ = 2405;   // the centre of CHANNEL_FIRST
constexpr int32_t CHANNEL_STEP_MHZ = 5;
constexpr int32_t MHZ_PER_GHZ = 1000;

} // namespace

std::string ChannelText(int32_t nChannel)
{
    const int32_t nMHz = CHANNEL_BASE_MHZ + CHANNEL_STEP_MHZ * (nChannel - CHANNEL_FIRST);
    char szText[48];
    std::snprintf(szText, sizeof(szText), "%d (0x%02X)  %d.%03d GHz", static_cast<int>(nChannel),
        static_cast<unsigned>(nChannel), static_cast<int>(nMHz / MHZ_PER_GHZ),
        static_cast<int>(nMHz % MHZ_PER_GHZ));
    return szText;
}
