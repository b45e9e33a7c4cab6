// Where the MAC frames that the simulated radio "hears" come from.
#pragma once

#include "tools/dongle_sim/sim_mac.h"

class ISimPayloadSource {
public:
    virtual ~ISimPayloadSource() = default;
    // The next MAC frame (without FCS); false when there is none.
    virtual bool NextPayload(CSimBytes& byOut) = 0;
};
