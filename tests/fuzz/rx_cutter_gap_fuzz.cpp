// A clean stream of frames, cut into arbitrary arrivals with bytes lost at
// arbitrary places, through the cutter as the controller drives it (at a gap:
// cut what came before, drop the rest before it, tell the cutter). Frame bodies
// hold no 0x00, so the only sync pairs are real frame starts: then every frame
// handed on must be one that was sent, whole, in order, and none may have
// lost a byte to a gap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/queue_byte_source.h"
#include "link/rx_cutter.h"

namespace {

void Check(bool bOk)
{
    if (!bOk)
        std::abort();
}

struct CSent {
    std::vector<uint8_t> m_by;
    uint64_t m_qwStart;   // stream position of byte 0
};

class CFuzzSinks : public IRfDataSink, public IRfAckSink {
public:
    explicit CFuzzSinks(const std::vector<CSent>& vecSent, const std::vector<uint64_t>& vecGaps)
        : m_vecSent(vecSent), m_vecGaps(vecGaps) {}
    void OnDataFrame(const uint8_t* p, int32_t n) override { Match(p, n); ++m_nData; }
    void OnDataBatchEnd() override { Check(m_nData > m_nDataAtBatch); m_nDataAtBatch = m_nData; }
    void OnAckFrame(const uint8_t* p, int32_t n) override { Match(p, n); }

    // The next sent frame that equals it, and no gap inside that frame.
    void Match(const uint8_t* p, int32_t n)
    {
        while (m_nNext < m_vecSent.size()) {
            const CSent& sent = m_vecSent[m_nNext++];
            if (sent.m_by.size() != static_cast<size_t>(n) || !std::equal(sent.m_by.begin(), sent.m_by.end(), p))
                continue;
            for (uint64_t qwGap : m_vecGaps)
                Check(qwGap < sent.m_qwStart || qwGap >= sent.m_qwStart + sent.m_by.size());
            return;
        }
        Check(false);   // matches no frame sent (or comes out of order)
    }

    const std::vector<CSent>& m_vecSent;
    const std::vector<uint64_t>& m_vecGaps;   // stream positions where bytes were dropped
    size_t m_nNext = 0;
    uint64_t m_nData = 0;
    uint64_t m_nDataAtBatch = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // The stream: frames whose LEN and body bytes come from the input, never 0x00,
// each with a sequence number first, so no two are alike.
    std::vector<CSent> vecSent;
    std::vector<uint8_t> vecStream;
    size_t nPos = 0;
    while (nPos + 1 < nSize && vecStream.size() < 20000) {
        const uint8_t byLen = static_cast<uint8_t>(2 + pData[nPos++] % 254);
        const size_t nSeq = vecSent.size();
        CSent sent { { 0x00, 0x01, byLen, static_cast<uint8_t>(1 + nSeq % 255),
                       static_cast<uint8_t>(1 + nSeq / 255 % 255) }, vecStream.size() };
        for (uint8_t i = 2; i < byLen; ++i)
            sent.m_by.push_back(static_cast<uint8_t>(1 + (pData[(nPos + i) % nSize] + i) % 255));
        nPos += 1;
        vecStream.insert(vecStream.end(), sent.m_by.begin(), sent.m_by.end());
        vecSent.push_back(sent);
    }
    std::vector<uint64_t> vecGaps;
    CFuzzSinks sinks(vecSent, vecGaps);
    CRxCutter cutter;
    cutter.SetDataSink(&sinks);
    cutter.SetAckSink(&sinks);
    CQueueByteSource src;
    // Arrivals and gaps: sizes and losses from the input again.
    uint64_t qwAt = 0;
    size_t nCtl = 0;
    uint64_t nGaps = 0;
    while (qwAt < vecStream.size()) {
        const uint8_t byCtl = nSize > 0 ? pData[nCtl++ % nSize] : 0;
        const uint64_t qwChunk = std::min<uint64_t>(1 + byCtl % 97, vecStream.size() - qwAt);
        src.Arrive(std::vector<uint8_t>(vecStream.begin() + static_cast<ptrdiff_t>(qwAt),
            vecStream.begin() + static_cast<ptrdiff_t>(qwAt + qwChunk)));
        qwAt += qwChunk;
        if ((byCtl & 0x60) == 0x60 && qwAt < vecStream.size()) {
            // Bytes lost here: what came before is cut, the rest before the gap dropped.
            cutter.CutAll(src);
            src.m_q.clear();
            const uint64_t qwLost = std::min<uint64_t>(1 + byCtl % 300, vecStream.size() - qwAt);
            vecGaps.push_back(qwAt);
            vecGaps.push_back(qwAt + qwLost - 1);
            qwAt += qwLost;
            cutter.OnGap(1, qwLost);
            ++nGaps;
        }
        cutter.CutAll(src);
        cutter.EndBatch();
    }
    const CRfCounters counters = cutter.GetCounters();
    Check(counters.m_qwGaps == nGaps);
    Check(counters.m_qwDataFrames == sinks.m_nData);
    return 0;
}
