// IEEE 802.15.4 MAC frames (as captured: no FCS) built field by field, for
// the tests of the MAC header reader, the survey counts and the TAP output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace macframes {

typedef std::vector<uint8_t> Bytes;

enum { TYPE_BEACON = 0, TYPE_DATA = 1, TYPE_ACK = 2, TYPE_COMMAND = 3 };
enum { MODE_NONE = 0, MODE_SHORT = 2, MODE_EXT = 3 };

inline void Le16(Bytes& by, uint16_t w)
{
    by.push_back(static_cast<uint8_t>(w));
    by.push_back(static_cast<uint8_t>(w >> 8));
}

inline void Le64(Bytes& by, uint64_t qw)
{
    for (int i = 0; i < 8; ++i)
        by.push_back(static_cast<uint8_t>(qw >> (8 * i)));
}

struct CFrameSpec {
    int m_nType = TYPE_DATA;
    int m_nVersion = 0;
    bool m_bCompress = false;
    int m_nDstMode = MODE_SHORT;
    int m_nSrcMode = MODE_SHORT;
    uint16_t m_wDstPan = 0;
    uint16_t m_wSrcPan = 0;
    bool m_bSeqSuppressed = false;
};

inline uint16_t FrameControl(const CFrameSpec& s)
{
    return static_cast<uint16_t>(s.m_nType | (s.m_bCompress ? 1 << 6 : 0) | (s.m_bSeqSuppressed ? 1 << 8 : 0) |
                                 s.m_nDstMode << 10 | s.m_nVersion << 12 | s.m_nSrcMode << 14);
}

inline void Address(Bytes& by, int nMode, uint64_t qwSeed)
{
    if (nMode == MODE_SHORT)
        Le16(by, static_cast<uint16_t>(qwSeed));
    else if (nMode == MODE_EXT)
        Le64(by, 0x00124B0000000000ull | qwSeed);
}

// Frame control, sequence number and the addressing fields; the PAN IDs
// written are the ones the caller says are carried.
inline Bytes Header(const CFrameSpec& s, bool bDstPan, bool bSrcPan)
{
    Bytes by;
    Le16(by, FrameControl(s));
    if (!s.m_bSeqSuppressed)
        by.push_back(0x5A);
    if (bDstPan)
        Le16(by, s.m_wDstPan);
    Address(by, s.m_nDstMode, 0x1111);
    if (bSrcPan)
        Le16(by, s.m_wSrcPan);
    Address(by, s.m_nSrcMode, 0x2222);
    return by;
}

// A 2003 data frame, short addresses, compressed PAN (the usual ZigBee frame).
inline Bytes DataFrame(uint16_t wPan, size_t nPayload = 4)
{
    CFrameSpec s;
    s.m_bCompress = true;
    s.m_wDstPan = wPan;
    Bytes by = Header(s, true, false);
    for (size_t i = 0; i < nPayload; ++i)
        by.push_back(static_cast<uint8_t>(i));
    return by;
}

// A coordinator beacon; with a ZigBee payload (extended PAN id qwExtPan)
// unless bZigBee is false, and with nGts GTS descriptors and the given
// pending short/extended addresses in front of it.
inline Bytes BeaconFrame(uint16_t wPan, uint64_t qwExtPan, bool bZigBee = true, int nGts = 0, int nPendShort = 0,
                         int nPendExt = 0)
{
    CFrameSpec s;
    s.m_nType = TYPE_BEACON;
    s.m_nDstMode = MODE_NONE;
    s.m_wSrcPan = wPan;
    Bytes by = Header(s, false, true);
    Le16(by, 0xCFFF);   // superframe: BO 15, SO 15, PAN coordinator, association permit
    by.push_back(static_cast<uint8_t>(nGts | 0x80));
    if (nGts > 0) {
        by.push_back(0x00);   // directions
        for (int i = 0; i < nGts * 3; ++i)
            by.push_back(0xEE);
    }
    by.push_back(static_cast<uint8_t>(nPendShort | nPendExt << 4));
    for (int i = 0; i < nPendShort; ++i)
        Le16(by, 0x4444);
    for (int i = 0; i < nPendExt; ++i)
        Le64(by, 0x5555555555555555ull);
    by.push_back(bZigBee ? 0x00 : 0x42);   // protocol id
    by.push_back(0x22);                    // stack profile 2, protocol version 2
    by.push_back(0x84);                    // router capacity, depth 0, end device capacity
    Le64(by, qwExtPan);
    for (uint8_t b : {0xFF, 0xFF, 0xFF, 0x00})   // tx offset, update id
        by.push_back(b);
    return by;
}

} // namespace macframes
