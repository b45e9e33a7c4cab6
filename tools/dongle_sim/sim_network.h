// The ZigBee networks the simulated dongle can hear, each on its own channel
// (--network CH:PAN[:EXTPAN]). Only their channels carry traffic; two networks
// on one channel are heard interleaved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/dongle_sim/sim_source.h"

class CSimTraffic;

constexpr int32_t SIM_FIRST_CHANNEL = 11;   // the 2.4 GHz band
constexpr int32_t SIM_LAST_CHANNEL = 26;
constexpr uint16_t SIM_MAX_PAN_ID = 0xFFFE;  // 0xFFFF is the broadcast PAN
// The extended PAN ID a network is given when none is named:
// SIM_EXT_PAN_BASE | channel << 16 | PAN ID, so 15:0x1a62 has 0x00124b00000f1a62.
constexpr uint64_t SIM_EXT_PAN_BASE = 0x00124B0000000000ull;

struct CSimNetwork {
    int32_t m_nChannel;
    uint16_t m_wPanId;
    uint64_t m_qwExtPanId;
};

uint64_t SimDefaultExtPanId(int32_t nChannel, uint16_t wPanId);

// "15:0x1a62", "20:31745" or "15:0x1a62:0x00124b0000001234" into net; false
// with a one-line reason for anything else.
bool ParseSimNetwork(const char* pszText, CSimNetwork& net, std::string& strError);

// "network on channel 15: PAN 0x1a62, extended PAN 0x00124b00000f1a62"
std::string FormatSimNetwork(const CSimNetwork& net);
// What nChannel carries: "network 0x1a62", "networks 0x1a62 0x7c01" or
// "no network, silent".
std::string DescribeSimChannel(const std::vector<CSimNetwork>& vecNetworks, int32_t nChannel);

// The traffic of every network, each its own generated ZigBee network.
class CSimNetworks : public ISimPayloadSource {
public:
    CSimNetworks(const std::vector<CSimNetwork>& vecNetworks, uint32_t dwSeed);
    ~CSimNetworks() override;
    // The first network's traffic, whatever the channel.
    bool NextPayload(CSimBytes& byOut) override;
    int32_t NetworksOn(int32_t nChannel) const override;
    // The networks on nChannel take turns, one frame each.
    bool NextPayloadOn(int32_t nChannel, CSimBytes& byOut, int32_t& nPanId) override;

private:
    struct CHeard {
        CSimNetwork m_net;
        std::unique_ptr<CSimTraffic> m_pTraffic;
    };
    std::vector<CHeard> m_vecHeard;
    uint32_t m_dwTurn;
};
