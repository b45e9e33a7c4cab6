// The host's view of the bytes on the line: frames cut out the way a reader
// that resynchronises on 00 01 cuts them, and the host's command frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/frame_protocol.h"

typedef std::vector<uint8_t> CByteVec;

// Frames as a reader that resynchronises on 00 01 sees them.
struct CFrameSplit {
    std::vector<CByteVec> m_vecFrames;
    size_t m_nSkipped = 0;   // bytes outside any frame
    size_t m_nRest = 0;      // an incomplete frame at the end
};

inline CFrameSplit SplitFrames(const CByteVec& by)
{
    CFrameSplit split;
    size_t i = 0;
    while (i < by.size()) {
        if (i + 1 < by.size() && by[i] == 0x00 && by[i + 1] == 0x01) {
            if (i + 2 >= by.size()) {
                split.m_nRest = by.size() - i;
                break;
            }
            const size_t nTotal = static_cast<size_t>(by[i + 2]) + 3;
            if (i + nTotal > by.size()) {
                split.m_nRest = by.size() - i;
                break;
            }
            split.m_vecFrames.emplace_back(by.begin() + static_cast<long>(i), by.begin() + static_cast<long>(i + nTotal));
            i += nTotal;
            continue;
        }
        if (i + 1 == by.size() && by[i] == 0x00) {
            split.m_nRest = 1;
            break;
        }
        ++split.m_nSkipped;
        ++i;
    }
    return split;
}

inline size_t CountAcks(const CFrameSplit& split)
{
    size_t n = 0;
    for (const CByteVec& fr : split.m_vecFrames)
        n += fr.size() <= static_cast<size_t>(RF_ACK_MAX_LEN) ? 1 : 0;
    return n;
}

inline std::vector<CByteVec> DataFrames(const CFrameSplit& split)
{
    std::vector<CByteVec> vec;
    for (const CByteVec& fr : split.m_vecFrames)
        if (fr.size() > static_cast<size_t>(RF_ACK_MAX_LEN))
            vec.push_back(fr);
    return vec;
}

inline CByteVec PayloadOf(const CByteVec& frame)
{
    return CByteVec(frame.begin() + RF_PAYLOAD_OFFSET, frame.end() - (RF_PAYLOAD_OVERHEAD - RF_PAYLOAD_OFFSET));
}

inline CByteVec SetChannelCommand(int nChannel)
{
    CByteVec by(g_bySetChannelFrame11, g_bySetChannelFrame11 + RF_CMD_LEN);
    PatchSetChannelFrame(by.data(), nChannel);
    return by;
}
inline CByteVec StartCommand() { return CByteVec(g_byStartSniffFrame, g_byStartSniffFrame + RF_CMD_LEN); }
inline CByteVec StopCommand() { return CByteVec(g_byStopSniffFrame, g_byStopSniffFrame + RF_CMD_LEN); }

