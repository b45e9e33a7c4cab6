#include "tools/dongle_sim/sim_traffic.h"

#include <utility>

CSimTraffic::CSimTraffic(uint32_t dwSeed) : CSimTraffic(dwSeed, SIM_PAN_ID, SIM_EXT_COORD)
{
}

CSimTraffic::CSimTraffic(uint32_t dwSeed, uint16_t wPanId, uint64_t qwExtPanId)
    : m_rng(dwSeed),
      m_qwExtPanId(qwExtPanId),
      m_wPanId(wPanId),
      m_coord{SIM_ADDR_COORD, 0, 0, 0, 0},
      m_light{SIM_ADDR_LIGHT, 0, 0, 0, 0},
      m_sensor{SIM_ADDR_SENSOR, 0, 0, 0, 0},
      m_byJoinerSeq(0),
      m_bLightOn(false),
      m_nTemperature(2150),
      m_nCycle(0),
      m_nNext(0)
{
    // Devices start with unrelated sequence numbers, as real ones do.
    for (CDevice* pDev : {&m_coord, &m_light, &m_sensor}) {
        pDev->m_byMacSeq = static_cast<uint8_t>(m_rng.Next());
        pDev->m_byNwkSeq = static_cast<uint8_t>(m_rng.Next());
        pDev->m_byApsCounter = static_cast<uint8_t>(m_rng.Next());
        pDev->m_byZclSeq = static_cast<uint8_t>(m_rng.Next());
    }
    m_byJoinerSeq = static_cast<uint8_t>(m_rng.Next());
}

bool CSimTraffic::NextPayload(CSimBytes& byOut)
{
    if (m_nNext >= m_vecCycle.size()) {
        BuildCycle();
        m_nNext = 0;
    }
    byOut = m_vecCycle[m_nNext++];
    return true;
}

bool CSimTraffic::NextPayloadOn(int32_t nChannel, CSimBytes& byOut, int32_t& nPanId)
{
    (void)nChannel;
    nPanId = m_wPanId;
    return NextPayload(byOut);
}

void CSimTraffic::AddAcked(CSimBytes byFrame)
{
    const uint8_t bySeq = byFrame[2];
    m_vecCycle.push_back(std::move(byFrame));
    m_vecCycle.push_back(BuildMacAck(bySeq, false));
}

CSimZigbeeData CSimTraffic::ZigbeeFrom(CDevice& src, const CDevice& dst, uint16_t wCluster, CSimBytes byZcl)
{
    CSimZigbeeData data;
    data.m_byMacSeq = src.m_byMacSeq++;
    data.m_wPanId = m_wPanId;
    data.m_wMacDst = dst.m_wShort;   // every device here is one hop from the coordinator
    data.m_wMacSrc = src.m_wShort;
    data.m_wNwkDst = dst.m_wShort;
    data.m_wNwkSrc = src.m_wShort;
    data.m_byRadius = 30;
    data.m_byNwkSeq = src.m_byNwkSeq++;
    data.m_byDstEndpoint = 1;
    data.m_wCluster = wCluster;
    data.m_wProfile = ZB_PROFILE_HA;
    data.m_bySrcEndpoint = 1;
    data.m_byApsCounter = src.m_byApsCounter++;
    data.m_byZcl = std::move(byZcl);
    return data;
}

void CSimTraffic::BuildCycle()
{
    m_vecCycle.clear();
    if (m_nCycle % SIM_JOIN_EVERY_CYCLES == 0) {
        // A device looks for networks and joins through the coordinator.
        m_vecCycle.push_back(BuildBeaconRequest(m_byJoinerSeq++));
        CSimBeaconInfo coord{m_wPanId, SIM_ADDR_COORD, true, true, true, true, 0, m_qwExtPanId, 0};
        m_vecCycle.push_back(BuildBeacon(m_coord.m_byMacSeq++, coord));
        CSimBeaconInfo light{m_wPanId, SIM_ADDR_LIGHT, false, false, true, true, 1, m_qwExtPanId, 0};
        m_vecCycle.push_back(BuildBeacon(m_light.m_byMacSeq++, light));
        // Capability: allocate address, receiver on when idle, mains powered, router.
        AddAcked(BuildAssocRequest(m_byJoinerSeq++, m_wPanId, SIM_ADDR_COORD, SIM_EXT_JOINER, 0x8E));
        AddAcked(BuildAssocResponse(m_coord.m_byMacSeq++, m_wPanId, SIM_EXT_JOINER, SIM_EXT_COORD,
                                    SIM_ADDR_JOINER, 0x00));
    }
    ++m_nCycle;

    // The coordinator toggles the light; the light answers and reports its state.
    const uint8_t byToggleSeq = m_coord.m_byZclSeq++;
    AddAcked(BuildZigbeeData(ZigbeeFrom(m_coord, m_light, ZCL_CLUSTER_ON_OFF, ZclOnOffCommand(byToggleSeq, 0x02))));
    AddAcked(BuildZigbeeData(ZigbeeFrom(m_light, m_coord, ZCL_CLUSTER_ON_OFF,
                                        ZclDefaultResponse(byToggleSeq, 0x02, 0x00))));
    m_bLightOn = !m_bLightOn;
    AddAcked(BuildZigbeeData(ZigbeeFrom(m_light, m_coord, ZCL_CLUSTER_ON_OFF,
                                        ZclReportBool(m_light.m_byZclSeq++, 0x0000, m_bLightOn))));

    // The sleepy sensor polls its parent, then reports the temperature.
    AddAcked(BuildDataRequest(m_sensor.m_byMacSeq++, m_wPanId, SIM_ADDR_COORD, SIM_ADDR_SENSOR));
    m_nTemperature = static_cast<int16_t>(m_nTemperature + m_rng.Range(-15, 15));
    if (m_nTemperature < 1500 || m_nTemperature > 3000)
        m_nTemperature = 2150;   // stays a room temperature however long it runs
    AddAcked(BuildZigbeeData(ZigbeeFrom(m_sensor, m_coord, ZCL_CLUSTER_TEMPERATURE,
                                        ZclReportInt16(m_sensor.m_byZclSeq++, 0x0000, m_nTemperature))));
}
