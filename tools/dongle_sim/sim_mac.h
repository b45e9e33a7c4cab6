// IEEE 802.15.4 MAC frames and the ZigBee NWK / APS / ZCL layers above them,
// as a sniffer hears them on the air, without the two FCS bytes (the dongle
// reports RSSI and LQI in their place).
#pragma once

#include <cstdint>
#include <vector>

typedef std::vector<uint8_t> CSimBytes;

constexpr int32_t MAC_MAX_PSDU = 127;            // frame on the air, FCS included
constexpr uint16_t MAC_BROADCAST = 0xFFFF;
constexpr uint16_t NWK_BROADCAST_ROUTERS = 0xFFFC;
constexpr uint16_t ZB_PROFILE_HA = 0x0104;
constexpr uint16_t ZCL_CLUSTER_ON_OFF = 0x0006;
constexpr uint16_t ZCL_CLUSTER_TEMPERATURE = 0x0402;

// MAC frame control: frame type in bits 0-2, addressing modes in 10-11 / 14-15.
constexpr uint16_t MAC_FC_BEACON = 0x0000;
constexpr uint16_t MAC_FC_DATA = 0x0001;
constexpr uint16_t MAC_FC_ACK = 0x0002;
constexpr uint16_t MAC_FC_CMD = 0x0003;
constexpr uint16_t MAC_FC_FRAME_PENDING = 0x0010;
constexpr uint16_t MAC_FC_ACK_REQUEST = 0x0020;
constexpr uint16_t MAC_FC_PAN_COMPRESS = 0x0040;
constexpr uint16_t MAC_FC_DST_SHORT = 0x0800;
constexpr uint16_t MAC_FC_DST_EXT = 0x0C00;
constexpr uint16_t MAC_FC_SRC_SHORT = 0x8000;
constexpr uint16_t MAC_FC_SRC_EXT = 0xC000;

constexpr uint8_t MAC_CMD_ASSOC_REQUEST = 0x01;
constexpr uint8_t MAC_CMD_ASSOC_RESPONSE = 0x02;
constexpr uint8_t MAC_CMD_DATA_REQUEST = 0x04;
constexpr uint8_t MAC_CMD_BEACON_REQUEST = 0x07;

struct CSimBeaconInfo {
    uint16_t m_wPanId;
    uint16_t m_wSource;
    bool m_bPanCoordinator;
    bool m_bAssocPermit;
    bool m_bRouterCapacity;
    bool m_bEndDeviceCapacity;
    uint8_t m_byDepth;
    uint64_t m_qwExtPanId;
    uint8_t m_byUpdateId;
};

// One ZigBee data frame: MAC data frame, NWK data header, APS data header, ZCL.
struct CSimZigbeeData {
    uint8_t m_byMacSeq;
    uint16_t m_wPanId;
    uint16_t m_wMacDst;
    uint16_t m_wMacSrc;
    uint16_t m_wNwkDst;
    uint16_t m_wNwkSrc;
    uint8_t m_byRadius;
    uint8_t m_byNwkSeq;
    uint8_t m_byDstEndpoint;
    uint16_t m_wCluster;
    uint16_t m_wProfile;
    uint8_t m_bySrcEndpoint;
    uint8_t m_byApsCounter;
    CSimBytes m_byZcl;   // ZCL frame: control, sequence, command, payload
};

CSimBytes BuildMacAck(uint8_t bySeq, bool bFramePending);
CSimBytes BuildBeaconRequest(uint8_t bySeq);
CSimBytes BuildBeacon(uint8_t bySeq, const CSimBeaconInfo& info);
CSimBytes BuildDataRequest(uint8_t bySeq, uint16_t wPanId, uint16_t wDst, uint16_t wSrc);
CSimBytes BuildAssocRequest(uint8_t bySeq, uint16_t wPanId, uint16_t wCoord, uint64_t qwSrcExt, uint8_t byCapability);
CSimBytes BuildAssocResponse(uint8_t bySeq, uint16_t wPanId, uint64_t qwDstExt, uint64_t qwSrcExt,
                             uint16_t wShortAddr, uint8_t byStatus);
CSimBytes BuildZigbeeData(const CSimZigbeeData& data);

// ZCL frames for the data frames above.
CSimBytes ZclOnOffCommand(uint8_t byZclSeq, uint8_t byCommand);   // 0 off, 1 on, 2 toggle
CSimBytes ZclReportBool(uint8_t byZclSeq, uint16_t wAttr, bool bValue);
CSimBytes ZclReportInt16(uint8_t byZclSeq, uint16_t wAttr, int16_t nValue);
CSimBytes ZclDefaultResponse(uint8_t byZclSeq, uint8_t byCommand, uint8_t byStatus);

// The frame check sequence the radio computes (ITU-T CRC-16, as 802.15.4
// sends it: low byte first).
uint16_t MacFcs(const uint8_t* pData, int32_t nLen);
