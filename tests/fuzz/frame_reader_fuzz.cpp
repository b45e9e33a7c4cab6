// Arbitrary byte streams, cut into arbitrary arrivals, through the frame
// reader. Every frame handed on must be a well-formed 00 01 LEN frame, every
// byte fed must be accounted for, reads must stay inside the frame buffer,
// and the reader must never be left with work it could do but no step coming.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/queue_byte_source.h"
#include "link/frame_reader.h"

namespace {

void Check(bool bOk)
{
    if (!bOk)
        std::abort();
}

// The queue, with every read checked to stay inside the frame buffer.
class CFuzzSource : public CQueueByteSource {
public:
    int32_t Read(uint8_t* pDst, int32_t nLen) override
    {
        Check(nLen >= 0);
        if (m_pBase == nullptr)
            m_pBase = pDst;   // the very first read fills byte 0 of the frame buffer
        Check(pDst >= m_pBase && pDst + nLen <= m_pBase + RF_FRAME_BUF_SIZE);
        return CQueueByteSource::Read(pDst, nLen);
    }
    const uint8_t* m_pBase = nullptr;
};

class CFuzzSink : public IRfFrameSink {
public:
    void DeliverFrame(const uint8_t* pFrame, int32_t nLen) override
    {
        Check(nLen >= RF_FRAME_MIN_LEN && nLen <= RF_FRAME_MAX_LEN);
        Check(pFrame[0] == 0x00 && pFrame[1] == 0x01);
        Check(pFrame[2] + 3 == nLen);
        Check(RfIsAckLength(nLen) != RfIsDataLength(nLen));
        m_qwDelivered += static_cast<uint64_t>(nLen);
        ++m_nFramesThisStep;
    }
    void RequestRerun() override { ++m_nReruns; }
    uint64_t m_qwDelivered = 0;
    int32_t m_nFramesThisStep = 0;
    int32_t m_nReruns = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1)
        return 0;
    CFrameReader reader;
    CFuzzSource src;
    CFuzzSink sink;
    // The first byte picks a source that hands back less than asked, and one
    // that shows a piece of its bytes (frames then go out in place).
    src.m_nMaxPerRead = (pData[0] & 0x80) ? (pData[0] & 0x07) : 0;
    src.m_nShowMax = (pData[0] & 0x40) ? 1 + (pData[0] & 0x38) * 4 : 0;
    size_t nPos = 1;
    uint64_t qwFed = 0;
    while (nPos < nSize) {
        // A control byte gives the size of the next arrival.
        const size_t nChunk = 1 + pData[nPos++] % 64;
        const size_t nEnd = nPos + nChunk < nSize ? nPos + nChunk : nSize;
        src.m_q.insert(src.m_q.end(), pData + nPos, pData + nEnd);
        qwFed += nEnd - nPos;
        nPos = nEnd;
        // One step for the arrival, one more per re-run request.
        int32_t nPosted = 1;
        int32_t nGuard = 0;
        while (nPosted > 0) {
            Check(++nGuard < 100000);
            --nPosted;
            const int32_t nReruns = sink.m_nReruns;
            sink.m_nFramesThisStep = 0;
            reader.Step(src, sink);
            Check(sink.m_nFramesThisStep <= 1);
            Check(sink.m_nReruns - nReruns <= 1);
            nPosted += sink.m_nReruns - nReruns;
            Check(reader.GetHeldBytes() >= 0 && reader.GetHeldBytes() <= RF_FRAME_MAX_LEN);
            Check(reader.GetState() == RF_RX_AWAIT_HEADER || reader.GetState() == RF_RX_AWAIT_BODY);
        }
        // Nothing lost: every byte fed was delivered, dropped, is held, or waits.
        Check(sink.m_qwDelivered + reader.GetDroppedBytes() + static_cast<uint64_t>(reader.GetHeldBytes()) +
                  static_cast<uint64_t>(src.GetCount()) == qwFed);
        // No stall: with no step posted the reader cannot get any further.
        if (reader.GetState() == RF_RX_AWAIT_HEADER)
            Check(reader.GetHeldBytes() + src.GetCount() < RF_HEADER_LEN);
        else
            Check(src.GetCount() < reader.GetNeed() - (reader.GetHeldBytes() - RF_HEADER_LEN));
    }
    return 0;
}
