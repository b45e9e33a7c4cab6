// What the capture controller hands on from the serial reader thread: every
// data frame it cuts, and the counts of what it cut and what it lost.
#pragma once

#include <cstdint>

class IRfDataSink {   // called on the serial reader thread
public:
    virtual ~IRfDataSink() = default;
    // A whole frame, header included, 8..258 bytes; valid during the call only.
    virtual void OnDataFrame(const uint8_t* pFrame, int32_t nLen) = 0;
    // After the data frames of one wake-up (only when there was at least one).
    virtual void OnDataBatchEnd() = 0;
    // A sink that holds records back for a moment names when they must go out
    // (steady-clock microseconds, 0: nothing held); the reader thread wakes
    // then, with or without new bytes, and calls OnDataDue.
    virtual uint64_t GetDataDueUs() const { return 0; }
    virtual void OnDataDue() {}
};

struct CRfCounters {          // monotonic over the controller's life; read from any thread
    uint64_t m_qwDataFrames;  // data frames cut
    uint64_t m_qwDataBytes;   // their total bytes (the Rx label counts these)
    uint64_t m_qwNoiseBytes;  // bytes skipped to find the next 00 01 header
    uint64_t m_qwGaps;        // times received bytes were lost before the cutter (frame in progress dropped)
    uint64_t m_qwGapBytes;    // bytes known lost that way (0 where the OS can't say how many)
};
