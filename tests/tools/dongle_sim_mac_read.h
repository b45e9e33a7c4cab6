// The PAN IDs an IEEE 802.15.4 MAC header names, read the way a sniffer reads
// them (frame control's addressing modes and PAN ID compression), and the
// extended PAN ID of a ZigBee beacon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct CMacPans {
    int m_nType = -1;            // frame type, bits 0-2 of frame control
    bool m_bHasDstPan = false;
    uint16_t m_wDstPan = 0;
    bool m_bHasSrcPan = false;   // carried, not compressed into the destination's
    uint16_t m_wSrcPan = 0;
    size_t m_nHeaderLen = 0;
    bool m_bShort = true;        // shorter than its header claims
};

inline uint64_t ReadLe(const std::vector<uint8_t>& by, size_t nPos, size_t nBytes)
{
    uint64_t qw = 0;
    for (size_t i = 0; i < nBytes; ++i)
        qw |= static_cast<uint64_t>(by[nPos + i]) << (8 * i);
    return qw;
}

inline CMacPans ReadMacPans(const std::vector<uint8_t>& by)
{
    CMacPans pans;
    if (by.size() < 3)
        return pans;
    const uint16_t wFc = static_cast<uint16_t>(ReadLe(by, 0, 2));
    pans.m_nType = wFc & 7;
    const bool bCompress = (wFc & 0x40) != 0;
    const int nDstMode = (wFc >> 10) & 3;
    const int nSrcMode = (wFc >> 14) & 3;
    size_t n = 3;
    if (nDstMode != 0) {
        if (by.size() < n + 2)
            return pans;
        pans.m_bHasDstPan = true;
        pans.m_wDstPan = static_cast<uint16_t>(ReadLe(by, n, 2));
        n += 2 + (nDstMode == 2 ? 2 : 8);
    }
    if (nSrcMode != 0) {
        if (!bCompress) {
            if (by.size() < n + 2)
                return pans;
            pans.m_bHasSrcPan = true;
            pans.m_wSrcPan = static_cast<uint16_t>(ReadLe(by, n, 2));
            n += 2;
        }
        n += nSrcMode == 2 ? 2 : 8;
    }
    pans.m_nHeaderLen = n;
    pans.m_bShort = by.size() < n;
    return pans;
}

// A ZigBee beacon's extended PAN ID: after the superframe (2), GTS (1) and
// pending-address (1) fields, protocol id, stack profile and capacity bytes.
inline bool ReadBeaconExtPan(const std::vector<uint8_t>& by, uint64_t& qwExtPan)
{
    const CMacPans pans = ReadMacPans(by);
    const size_t nAt = pans.m_nHeaderLen + 4 + 3;
    if (pans.m_nType != 0 || pans.m_bShort || by.size() < nAt + 8)
        return false;
    qwExtPan = ReadLe(by, nAt, 8);
    return true;
}
