// A small ZigBee PRO network on one PAN, as a sniffer hears it: beacon
// requests and beacons, a device joining (association request and response),
// a coordinator switching a light, the light's default response and on/off
// report, a sleepy temperature sensor polling its parent and reporting, and
// the MAC acknowledgements of every unicast frame.
#pragma once

#include <cstddef>

#include "tools/dongle_sim/sim_random.h"
#include "tools/dongle_sim/sim_source.h"

constexpr uint16_t SIM_PAN_ID = 0x1A62;
constexpr uint16_t SIM_ADDR_COORD = 0x0000;
constexpr uint16_t SIM_ADDR_LIGHT = 0x4F2A;
constexpr uint16_t SIM_ADDR_SENSOR = 0x7D13;
constexpr uint16_t SIM_ADDR_JOINER = 0x91C4;
constexpr uint64_t SIM_EXT_COORD = 0x00124B0001A2C301ull;
constexpr uint64_t SIM_EXT_LIGHT = 0x00124B0001A2C302ull;
constexpr uint64_t SIM_EXT_JOINER = 0x00124B0001A2C3F0ull;
constexpr int32_t SIM_JOIN_EVERY_CYCLES = 8;

class CSimTraffic : public ISimPayloadSource {
public:
    explicit CSimTraffic(uint32_t dwSeed);
    // The same network under its own PAN ID, and the extended PAN ID its
    // beacons announce.
    CSimTraffic(uint32_t dwSeed, uint16_t wPanId, uint64_t qwExtPanId);
    bool NextPayload(CSimBytes& byOut) override;
    bool NextPayloadOn(int32_t nChannel, CSimBytes& byOut, int32_t& nPanId) override;

private:
    struct CDevice {
        uint16_t m_wShort;
        uint8_t m_byMacSeq;
        uint8_t m_byNwkSeq;
        uint8_t m_byApsCounter;
        uint8_t m_byZclSeq;
    };
    void BuildCycle();
    CSimZigbeeData ZigbeeFrom(CDevice& src, const CDevice& dst, uint16_t wCluster, CSimBytes byZcl);
    void AddAcked(CSimBytes byFrame);

    CSimRandom m_rng;
    uint64_t m_qwExtPanId;
    uint16_t m_wPanId;
    CDevice m_coord;
    CDevice m_light;
    CDevice m_sensor;
    uint8_t m_byJoinerSeq;
    bool m_bLightOn;
    int16_t m_nTemperature;   // hundredths of a degree Celsius
    int32_t m_nCycle;
    std::vector<CSimBytes> m_vecCycle;
    size_t m_nNext;
};
