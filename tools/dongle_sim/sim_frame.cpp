#include "tools/dongle_sim/sim_frame.h"

#include <cstring>

#include "tools/dongle_sim/sim_mac.h"

int32_t BuildSimDataFrame(const uint8_t* pMac, int32_t nMacLen, const CSimFrameMeta& meta, uint8_t* pOut)
{
    const int32_t nTotal = nMacLen + RF_PAYLOAD_OVERHEAD;
    if (nMacLen < 0 || nTotal > RF_FRAME_MAX_LEN)
        return -1;
    pOut[0] = RF_SYNC0;
    pOut[1] = RF_SYNC1;
    pOut[2] = static_cast<uint8_t>(nTotal - RF_HEADER_LEN);
    pOut[3] = meta.m_byChannel;
    pOut[4] = static_cast<uint8_t>(meta.m_wCounter);
    pOut[5] = static_cast<uint8_t>(meta.m_wCounter >> 8);
    for (int i = 0; i < 4; ++i)
        pOut[6 + i] = static_cast<uint8_t>(meta.m_dwTimeUs >> (8 * i));
    if (nMacLen > 0)
        std::memcpy(pOut + RF_PAYLOAD_OFFSET, pMac, static_cast<size_t>(nMacLen));
    uint8_t* pTrail = pOut + RF_PAYLOAD_OFFSET + nMacLen;
    const uint16_t wFcs = MacFcs(pMac, nMacLen);
    pTrail[0] = static_cast<uint8_t>(wFcs);
    pTrail[1] = static_cast<uint8_t>(wFcs >> 8);
    pTrail[2] = static_cast<uint8_t>(meta.m_nRssi);
    pTrail[3] = meta.m_byLqi;
    pTrail[4] = 0x80;
    pTrail[5] = static_cast<uint8_t>(meta.m_wCounter);
    pTrail[6] = 0x04;
    return nTotal;
}

void BuildSimAckFrame(const uint8_t* pCommand, uint8_t* pOut)
{
    const uint8_t byCmd = static_cast<uint8_t>(pCommand[3] | 0x80);
    const uint8_t byParam = pCommand[4];
    pOut[0] = RF_SYNC0;
    pOut[1] = RF_SYNC1;
    pOut[2] = 0x04;
    pOut[3] = byCmd;
    pOut[4] = byParam;
    pOut[5] = RfCommandChecksum(0x04, byCmd, byParam);
    pOut[6] = 0x04;
}

int32_t BuildSimGarbage(CSimRandom& rng, uint8_t byPrev, uint8_t* pOut)
{
    const int32_t nLen = rng.Range(1, SIM_GARBAGE_MAX);
    for (int32_t i = 0; i < nLen; ++i) {
        // Plenty of lone 00 bytes, the ones that tempt a reader into a false header.
        uint8_t by = (rng.Next() % 4 == 0) ? 0x00 : static_cast<uint8_t>(rng.Next());
        if (byPrev == RF_SYNC0 && by == RF_SYNC1)
            by = 0xA5;
        pOut[i] = by;
        byPrev = by;
    }
    return nLen;
}
