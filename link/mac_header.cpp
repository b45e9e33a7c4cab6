#include "link/mac_header.h"

namespace {

constexpr int32_t SEQ_LEN = 1;
constexpr int32_t SHORT_ADDR_LEN = 2;
constexpr int32_t EXT_ADDR_LEN = 8;

constexpr uint16_t FCF_SECURITY = 1u << 3;
constexpr uint16_t FCF_PAN_ID_COMPRESSION = 1u << 6;
constexpr uint16_t FCF_SEQ_SUPPRESSED = 1u << 8;   // 2015 frames only
constexpr uint16_t FCF_IE_PRESENT = 1u << 9;        // 2015 frames only

constexpr int32_t SUPERFRAME_LEN = 2;
constexpr uint8_t GTS_COUNT_MASK = 0x07;
constexpr int32_t GTS_DIRECTIONS_LEN = 1;
constexpr int32_t GTS_DESCRIPTOR_LEN = 3;
constexpr uint8_t PENDING_SHORT_MASK = 0x07;
constexpr uint8_t PENDING_EXT_SHIFT = 4;
constexpr uint8_t PENDING_EXT_MASK = 0x07;
// Protocol id, stack profile and version, capacities, then the extended PAN id.
constexpr int32_t ZIGBEE_EXT_PAN_OFFSET = 3;
// ... then the TX offset (3) and the network update id (1).
constexpr int32_t ZIGBEE_BEACON_PAYLOAD_LEN = ZIGBEE_EXT_PAN_OFFSET + EXT_ADDR_LEN + 3 + 1;

// A reader that refuses to step past the end.
class CCursor {
public:
    CCursor(const uint8_t* p, int32_t n) : m_p(p), m_nLen(n), m_nPos(0) {}
    bool Has(int32_t n) const { return n >= 0 && m_nLen - m_nPos >= n; }
    bool Skip(int32_t n)
    {
        if (!Has(n))
            return false;
        m_nPos += n;
        return true;
    }
    bool Byte(uint8_t* pby)
    {
        if (!Has(1))
            return false;
        *pby = m_p[m_nPos++];
        return true;
    }
    bool Le16(uint16_t* pw)
    {
        if (!Has(2))
            return false;
        *pw = static_cast<uint16_t>(m_p[m_nPos] | m_p[m_nPos + 1] << 8);
        m_nPos += 2;
        return true;
    }
    uint64_t Le64At(int32_t nOffset) const   // caller checked Has(nOffset + 8)
    {
        uint64_t qw = 0;
        for (int32_t i = 7; i >= 0; --i)
            qw = qw << 8 | m_p[m_nPos + nOffset + i];
        return qw;
    }
    uint8_t ByteAt(int32_t nOffset) const { return m_p[m_nPos + nOffset]; }
    int32_t Pos() const { return m_nPos; }

private:
    const uint8_t* m_p;
    int32_t m_nLen;
    int32_t m_nPos;
};

bool IsAddressMode(uint8_t byMode)
{
    return byMode == MAC_ADDR_NONE || byMode == MAC_ADDR_SHORT || byMode == MAC_ADDR_EXTENDED;
}

int32_t AddressLen(uint8_t byMode)
{
    return byMode == MAC_ADDR_SHORT ? SHORT_ADDR_LEN : byMode == MAC_ADDR_EXTENDED ? EXT_ADDR_LEN : 0;
}

// Which PAN IDs are carried: 2003/2006 rules, or the 2015 table.
void PanIdsCarried(uint8_t byVersion, uint8_t byDst, uint8_t bySrc, bool bComp, bool* pbDst, bool* pbSrc)
{
    const bool bDstAddr = byDst != MAC_ADDR_NONE;
    const bool bSrcAddr = bySrc != MAC_ADDR_NONE;
    if (byVersion != MAC_VERSION_2015) {
        *pbDst = bDstAddr;
        *pbSrc = bSrcAddr && !bComp;
        return;
    }
    if (!bDstAddr && !bSrcAddr) {
        *pbDst = bComp;
        *pbSrc = false;
    } else if (bDstAddr != bSrcAddr) {
        *pbDst = bDstAddr && !bComp;
        *pbSrc = bSrcAddr && !bComp;
    } else if (byDst == MAC_ADDR_EXTENDED && bySrc == MAC_ADDR_EXTENDED) {
        *pbDst = !bComp;
        *pbSrc = false;
    } else {
        *pbDst = true;
        *pbSrc = !bComp;
    }
}

bool ReadAddressing(CCursor& cur, uint16_t wFcf, CMacHeader& hdr)
{
    bool bDstPan = false;
    bool bSrcPan = false;
    const bool bComp = (wFcf & FCF_PAN_ID_COMPRESSION) != 0;
    PanIdsCarried(hdr.m_byVersion, hdr.m_byDstMode, hdr.m_bySrcMode, bComp, &bDstPan, &bSrcPan);
    if (bDstPan && !cur.Le16(&hdr.m_wDstPan))
        return false;
    hdr.m_bHasDstPan = bDstPan;
    if (!cur.Skip(AddressLen(hdr.m_byDstMode)))
        return false;
    if (bSrcPan && !cur.Le16(&hdr.m_wSrcPan))
        return false;
    if (!cur.Skip(AddressLen(hdr.m_bySrcMode)))
        return false;
    hdr.m_bHasSrcPan = bSrcPan;
    if (!bSrcPan && bComp && bDstPan && hdr.m_bySrcMode != MAC_ADDR_NONE) {
        hdr.m_bHasSrcPan = true;   // compressed: the source is in the destination's PAN
        hdr.m_wSrcPan = hdr.m_wDstPan;
    }
    return true;
}

// Superframe, GTS and pending address fields, then a ZigBee beacon payload.
void ReadBeaconPayload(CCursor& cur, CMacHeader& hdr)
{
    uint8_t byGts = 0;
    if (!cur.Skip(SUPERFRAME_LEN) || !cur.Byte(&byGts))
        return;
    const int32_t nGts = byGts & GTS_COUNT_MASK;
    if (nGts > 0 && !cur.Skip(GTS_DIRECTIONS_LEN + nGts * GTS_DESCRIPTOR_LEN))
        return;
    uint8_t byPending = 0;
    if (!cur.Byte(&byPending))
        return;
    const int32_t nShort = byPending & PENDING_SHORT_MASK;
    const int32_t nExt = (byPending >> PENDING_EXT_SHIFT) & PENDING_EXT_MASK;
    if (!cur.Skip(nShort * SHORT_ADDR_LEN + nExt * EXT_ADDR_LEN))
        return;
    if (!cur.Has(ZIGBEE_BEACON_PAYLOAD_LEN) || cur.ByteAt(0) != ZIGBEE_BEACON_PROTOCOL_ID)
        return;
    hdr.m_bZigBeeBeacon = true;
    hdr.m_qwExtPanId = cur.Le64At(ZIGBEE_EXT_PAN_OFFSET);
}

} // namespace

CMacHeader ParseMacHeader(const uint8_t* pFrame, int32_t nLen)
{
    CMacHeader hdr;
    if (pFrame == nullptr)
        return hdr;
    CCursor cur(pFrame, nLen);
    uint16_t wFcf = 0;
    if (!cur.Le16(&wFcf))
        return hdr;
    hdr.m_byFrameType = static_cast<uint8_t>(wFcf & 0x07);
    hdr.m_byDstMode = static_cast<uint8_t>((wFcf >> 10) & 0x03);
    hdr.m_byVersion = static_cast<uint8_t>((wFcf >> 12) & 0x03);
    hdr.m_bySrcMode = static_cast<uint8_t>((wFcf >> 14) & 0x03);
    const bool bSeqSuppressed = hdr.m_byVersion == MAC_VERSION_2015 && (wFcf & FCF_SEQ_SUPPRESSED) != 0;
    if (!bSeqSuppressed && !cur.Skip(SEQ_LEN))
        return hdr;
    hdr.m_bParsed = true;
    // Multipurpose, fragment and extended frames lay their header out otherwise.
    if (hdr.m_byFrameType > MAC_FRAME_COMMAND || hdr.m_byVersion > MAC_VERSION_2015)
        return hdr;
    if (!IsAddressMode(hdr.m_byDstMode) || !IsAddressMode(hdr.m_bySrcMode))
        return hdr;
    if (!ReadAddressing(cur, wFcf, hdr)) {
        hdr.m_bHasDstPan = false;
        hdr.m_bHasSrcPan = false;
        return hdr;
    }
    hdr.m_bAddressesParsed = true;
    hdr.m_nHeaderLen = cur.Pos();
    // A secured beacon's payload follows a security header, a 2015 (enhanced)
    // beacon carries IEs instead of the superframe fields: neither is read.
    const bool bPlainBeacon = hdr.m_byFrameType == MAC_FRAME_BEACON && hdr.m_byVersion != MAC_VERSION_2015 &&
                              (wFcf & (FCF_SECURITY | FCF_IE_PRESENT)) == 0;
    if (bPlainBeacon)
        ReadBeaconPayload(cur, hdr);
    return hdr;
}
