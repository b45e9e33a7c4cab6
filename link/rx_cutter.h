// The capture side of the controller: on the serial reader thread it cuts every
// complete frame out of what has arrived, hands data frames to the data sink
// (counting them), passes acknowledgements on, and drops the frame in progress
// when bytes were lost before it (a gap), so that no frame is ever cut across one.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/frame_reader.h"
#include "link/rf_data_sink.h"

class IRfAckSink {   // called on the cutting thread
public:
    virtual ~IRfAckSink() = default;
    virtual void OnAckFrame(const uint8_t* pFrame, int32_t nLen) = 0;   // 3..7 bytes, valid during the call
};

class CRxCutter : private IRfFrameSink {
public:
    CRxCutter();

    // Any thread; the cutter picks the sink up at its next frame.
    void SetDataSink(IRfDataSink* pSink);
    // Before cutting starts.
    void SetAckSink(IRfAckSink* pSink);
    // Forgets a frame in progress. Only while nothing is cutting.
    void Reset();

    // The cutting thread. Cuts every complete frame the source holds now.
    void CutAll(IRfByteSource& source);
    // The cutting thread: nGaps gaps, qwLostBytes bytes known lost, lie right
    // after the bytes cut so far; the frame in progress is dropped.
    void OnGap(uint64_t nGaps, uint64_t qwLostBytes);
    // The cutting thread: ends the wake-up's batch (OnDataBatchEnd when it had
    // data); true when it had.
    bool EndBatch();
    // The cutting thread: bWoke, the data sink's due time has come (OnDataDue);
    // returns the sink's next one (0: nothing held).
    uint64_t TakeDataDue(bool bWoke);

    CRfCounters GetCounters() const;   // any thread

private:
    void DeliverFrame(const uint8_t* pFrame, int32_t nLen) override;
    void RequestRerun() override;

    CFrameReader m_reader;
    bool m_bRerun;
    bool m_bBatchHasData;
    std::atomic<IRfDataSink*> m_pDataSink;
    IRfAckSink* m_pAckSink;
    std::atomic<uint64_t> m_qwDataFrames;
    std::atomic<uint64_t> m_qwDataBytes;
    std::atomic<uint64_t> m_qwNoiseBytes;
    std::atomic<uint64_t> m_qwGaps;
    std::atomic<uint64_t> m_qwGapBytes;
};
