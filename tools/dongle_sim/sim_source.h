// Where the MAC frames that the simulated radio "hears" come from.
#pragma once

#include <cstdint>

#include "tools/dongle_sim/sim_mac.h"

constexpr int32_t SIM_PAN_UNKNOWN = -1;   // a frame of no network we know (replayed ones)

class ISimPayloadSource {
public:
    virtual ~ISimPayloadSource() = default;
    // The next MAC frame (without FCS); false when there is none.
    virtual bool NextPayload(CSimBytes& byOut) = 0;
    // How many networks the radio hears on nChannel; 0 is a silent channel.
    // A source of one network is heard on every channel.
    virtual int32_t NetworksOn(int32_t nChannel) const
    {
        (void)nChannel;
        return 1;
    }
    // The next MAC frame heard on nChannel, and the PAN ID of the network it
    // belongs to (SIM_PAN_UNKNOWN when none is known).
    virtual bool NextPayloadOn(int32_t nChannel, CSimBytes& byOut, int32_t& nPanId)
    {
        (void)nChannel;
        nPanId = SIM_PAN_UNKNOWN;
        return NextPayload(byOut);
    }
};
