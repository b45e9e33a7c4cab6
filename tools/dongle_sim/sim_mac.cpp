#include "tools/dongle_sim/sim_mac.h"

static void Put8(CSimBytes& by, uint8_t b)
{
    by.push_back(b);
}

static void Put16(CSimBytes& by, uint16_t w)
{
    by.push_back(static_cast<uint8_t>(w));
    by.push_back(static_cast<uint8_t>(w >> 8));
}

static void Put64(CSimBytes& by, uint64_t qw)
{
    for (int i = 0; i < 8; ++i)
        by.push_back(static_cast<uint8_t>(qw >> (8 * i)));
}

static CSimBytes MacHeader(uint16_t wFc, uint8_t bySeq)
{
    CSimBytes by;
    by.reserve(MAC_MAX_PSDU);
    Put16(by, wFc);
    Put8(by, bySeq);
    return by;
}

CSimBytes BuildMacAck(uint8_t bySeq, bool bFramePending)
{
    return MacHeader(static_cast<uint16_t>(MAC_FC_ACK | (bFramePending ? MAC_FC_FRAME_PENDING : 0)), bySeq);
}

CSimBytes BuildBeaconRequest(uint8_t bySeq)
{
    CSimBytes by = MacHeader(MAC_FC_CMD | MAC_FC_DST_SHORT, bySeq);
    Put16(by, MAC_BROADCAST);   // destination PAN
    Put16(by, MAC_BROADCAST);   // destination address
    Put8(by, MAC_CMD_BEACON_REQUEST);
    return by;
}

CSimBytes BuildBeacon(uint8_t bySeq, const CSimBeaconInfo& info)
{
    CSimBytes by = MacHeader(MAC_FC_BEACON | MAC_FC_SRC_SHORT, bySeq);
    Put16(by, info.m_wPanId);
    Put16(by, info.m_wSource);
    // Superframe: beacon order 15 and superframe order 15 (non-beacon network),
    // final CAP slot 15.
    uint16_t wSuperframe = 0x0FFF;
    if (info.m_bPanCoordinator)
        wSuperframe |= 0x4000;
    if (info.m_bAssocPermit)
        wSuperframe |= 0x8000;
    Put16(by, wSuperframe);
    Put8(by, 0x00);   // guaranteed time slots: none
    Put8(by, 0x00);   // pending addresses: none
    // ZigBee beacon payload: protocol id 0, stack profile 2 (ZigBee PRO),
    // protocol version 2, capacities and depth, extended PAN id, tx offset, update id.
    Put8(by, 0x00);
    Put8(by, 0x22);
    uint8_t byCaps = static_cast<uint8_t>((info.m_byDepth & 0x0F) << 3);
    if (info.m_bRouterCapacity)
        byCaps |= 0x04;
    if (info.m_bEndDeviceCapacity)
        byCaps |= 0x80;
    Put8(by, byCaps);
    Put64(by, info.m_qwExtPanId);
    Put8(by, 0xFF);
    Put8(by, 0xFF);
    Put8(by, 0xFF);
    Put8(by, info.m_byUpdateId);
    return by;
}

CSimBytes BuildDataRequest(uint8_t bySeq, uint16_t wPanId, uint16_t wDst, uint16_t wSrc)
{
    CSimBytes by = MacHeader(MAC_FC_CMD | MAC_FC_ACK_REQUEST | MAC_FC_PAN_COMPRESS | MAC_FC_DST_SHORT |
                             MAC_FC_SRC_SHORT, bySeq);
    Put16(by, wPanId);
    Put16(by, wDst);
    Put16(by, wSrc);
    Put8(by, MAC_CMD_DATA_REQUEST);
    return by;
}

CSimBytes BuildAssocRequest(uint8_t bySeq, uint16_t wPanId, uint16_t wCoord, uint64_t qwSrcExt, uint8_t byCapability)
{
    // A joining device has no PAN yet: source PAN is the broadcast PAN.
    CSimBytes by = MacHeader(MAC_FC_CMD | MAC_FC_ACK_REQUEST | MAC_FC_DST_SHORT | MAC_FC_SRC_EXT, bySeq);
    Put16(by, wPanId);
    Put16(by, wCoord);
    Put16(by, MAC_BROADCAST);
    Put64(by, qwSrcExt);
    Put8(by, MAC_CMD_ASSOC_REQUEST);
    Put8(by, byCapability);
    return by;
}

CSimBytes BuildAssocResponse(uint8_t bySeq, uint16_t wPanId, uint64_t qwDstExt, uint64_t qwSrcExt,
                             uint16_t wShortAddr, uint8_t byStatus)
{
    CSimBytes by = MacHeader(MAC_FC_CMD | MAC_FC_ACK_REQUEST | MAC_FC_PAN_COMPRESS | MAC_FC_DST_EXT |
                             MAC_FC_SRC_EXT, bySeq);
    Put16(by, wPanId);
    Put64(by, qwDstExt);
    Put64(by, qwSrcExt);
    Put8(by, MAC_CMD_ASSOC_RESPONSE);
    Put16(by, wShortAddr);
    Put8(by, byStatus);
    return by;
}

CSimBytes BuildZigbeeData(const CSimZigbeeData& data)
{
    const bool bUnicast = data.m_wMacDst != MAC_BROADCAST;
    const uint16_t wFc = static_cast<uint16_t>(MAC_FC_DATA | MAC_FC_PAN_COMPRESS | MAC_FC_DST_SHORT | MAC_FC_SRC_SHORT |
                                               (bUnicast ? MAC_FC_ACK_REQUEST : 0));
    CSimBytes by = MacHeader(wFc, data.m_byMacSeq);
    Put16(by, data.m_wPanId);
    Put16(by, data.m_wMacDst);
    Put16(by, data.m_wMacSrc);
    // NWK: data frame, protocol version 2, route discovery enabled, no security.
    Put16(by, 0x0048);
    Put16(by, data.m_wNwkDst);
    Put16(by, data.m_wNwkSrc);
    Put8(by, data.m_byRadius);
    Put8(by, data.m_byNwkSeq);
    // APS: data frame, unicast delivery, no security, no acknowledgement.
    Put8(by, 0x00);
    Put8(by, data.m_byDstEndpoint);
    Put16(by, data.m_wCluster);
    Put16(by, data.m_wProfile);
    Put8(by, data.m_bySrcEndpoint);
    Put8(by, data.m_byApsCounter);
    by.insert(by.end(), data.m_byZcl.begin(), data.m_byZcl.end());
    return by;
}

CSimBytes ZclOnOffCommand(uint8_t byZclSeq, uint8_t byCommand)
{
    // Cluster-specific, client to server, default response wanted.
    return CSimBytes{0x01, byZclSeq, byCommand};
}

CSimBytes ZclReportBool(uint8_t byZclSeq, uint16_t wAttr, bool bValue)
{
    // Profile-wide Report Attributes, server to client, no default response.
    CSimBytes by{0x18, byZclSeq, 0x0A};
    Put16(by, wAttr);
    Put8(by, 0x10);   // boolean
    Put8(by, bValue ? 1 : 0);
    return by;
}

CSimBytes ZclReportInt16(uint8_t byZclSeq, uint16_t wAttr, int16_t nValue)
{
    CSimBytes by{0x18, byZclSeq, 0x0A};
    Put16(by, wAttr);
    Put8(by, 0x29);   // signed 16-bit
    Put16(by, static_cast<uint16_t>(nValue));
    return by;
}

CSimBytes ZclDefaultResponse(uint8_t byZclSeq, uint8_t byCommand, uint8_t byStatus)
{
    return CSimBytes{0x18, byZclSeq, 0x0B, byCommand, byStatus};
}

uint16_t MacFcs(const uint8_t* pData, int32_t nLen)
{
    // CRC-16/KERMIT: polynomial 0x1021 reflected, initial value 0.
    uint16_t wCrc = 0;
    for (int32_t i = 0; i < nLen; ++i) {
        wCrc ^= pData[i];
        for (int b = 0; b < 8; ++b)
            wCrc = static_cast<uint16_t>((wCrc & 1) ? (wCrc >> 1) ^ 0x8408 : (wCrc >> 1));
    }
    return wCrc;
}
