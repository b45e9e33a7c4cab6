#include "link/rx_cutter.h"

#include "link/frame_protocol.h"

namespace {

// Counters written by the cutting thread only, read by any.
void AddTo(std::atomic<uint64_t>& qwCounter, uint64_t qwAdd)
{
    qwCounter.store(qwCounter.load(std::memory_order_relaxed) + qwAdd, std::memory_order_relaxed);
}

} // namespace

CRxCutter::CRxCutter()
    : m_bRerun(false), m_bBatchHasData(false), m_pDataSink(nullptr), m_pAckSink(nullptr),
      m_qwDataFrames(0), m_qwDataBytes(0), m_qwNoiseBytes(0), m_qwGaps(0), m_qwGapBytes(0)
{
}

void CRxCutter::SetDataSink(IRfDataSink* pSink)
{
    m_pDataSink.store(pSink, std::memory_order_release);
}

void CRxCutter::SetAckSink(IRfAckSink* pSink)
{
    m_pAckSink = pSink;
}

void CRxCutter::Reset()
{
    m_reader.Reset();
    m_bRerun = false;
    m_bBatchHasData = false;
}

void CRxCutter::CutAll(IRfByteSource& source)
{
    // The reader cuts one frame per step and asks again while it can get on;
    // the bytes in the source only grow meanwhile, so this ends once the
    // source holds no complete frame.
    do {
        m_bRerun = false;
        m_reader.Step(source, *this);
    } while (m_bRerun);
    m_qwNoiseBytes.store(m_reader.GetDroppedBytes(), std::memory_order_relaxed);
}

void CRxCutter::OnGap(uint64_t nGaps, uint64_t qwLostBytes)
{
    if (nGaps == 0)
        return;
    m_reader.Reset();
    AddTo(m_qwGapBytes, qwLostBytes);
    AddTo(m_qwGaps, nGaps);
}

bool CRxCutter::EndBatch()
{
    if (!m_bBatchHasData)
        return false;
    m_bBatchHasData = false;
    IRfDataSink* pSink = m_pDataSink.load(std::memory_order_acquire);
    if (pSink != nullptr)
        pSink->OnDataBatchEnd();
    return true;
}

uint64_t CRxCutter::TakeDataDue(bool bWoke)
{
    IRfDataSink* pSink = m_pDataSink.load(std::memory_order_acquire);
    if (pSink == nullptr)
        return 0;
    if (bWoke)
        pSink->OnDataDue();
    return pSink->GetDataDueUs();
}

CRfCounters CRxCutter::GetCounters() const
{
    CRfCounters counters;
    counters.m_qwDataFrames = m_qwDataFrames.load(std::memory_order_relaxed);
    counters.m_qwDataBytes = m_qwDataBytes.load(std::memory_order_relaxed);
    counters.m_qwNoiseBytes = m_qwNoiseBytes.load(std::memory_order_relaxed);
    counters.m_qwGaps = m_qwGaps.load(std::memory_order_relaxed);
    counters.m_qwGapBytes = m_qwGapBytes.load(std::memory_order_relaxed);
    return counters;
}

void CRxCutter::DeliverFrame(const uint8_t* pFrame, int32_t nLen)
{
    if (nLen > RF_ACK_MAX_LEN) {
        // This thread alone counts: a plain add, no locked one, per frame.
        AddTo(m_qwDataFrames, 1);
        AddTo(m_qwDataBytes, static_cast<uint64_t>(nLen));
        m_bBatchHasData = true;
        IRfDataSink* pSink = m_pDataSink.load(std::memory_order_acquire);
        if (pSink != nullptr)
            pSink->OnDataFrame(pFrame, nLen);
    } else if (m_pAckSink != nullptr) {
        m_pAckSink->OnAckFrame(pFrame, nLen);
    }
}

void CRxCutter::RequestRerun()
{
    m_bRerun = true;
}
