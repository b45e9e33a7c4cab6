// qm-capture-bench: what waking up costs on this machine. A bare thread that
// only polls a pseudo-terminal and reads what arrives, fed every nPeriodUs by
// another process, is the floor under any serial reader thread. HandOff also
// hands every piece to a second thread through a mutex and a condition
// variable, the least that a reader thread feeding a writer thread costs;
// PipeOut writes every piece to a FIFO that a third process reads, the least
// that a reader thread costs which passes each wake-up's bytes straight on to
// Wireshark, and the least latency from the line to that reader. The capture
// figures are read against these (on a loaded or virtual machine a wake-up
// can be a large share of the line-rate target by itself).
#pragma once

#include <sys/types.h>

#include <cstdint>

// A measurement's CPU time is also taken in slices of this length from its
// start, so that a run alongside can be compared slice by slice.
constexpr int32_t FLOOR_SLICE_MS = 1000;
constexpr int32_t FLOOR_MAX_SLICES = 60;

struct CWakeFloor {
    double m_dCpuPercent = -1;   // of one core, both threads
    double m_dUsPerWake = -1;    // per piece read
    double m_dP50Ms = -1;        // PipeOut: write to the pty -> read by the other process
    double m_dP99Ms = -1;
    int32_t m_nSlices = 0;       // whole slices measured
    double m_adSlicePercent[FLOOR_MAX_SLICES] = {};   // CPU % of one core in each
};

enum class EFloorWork { Bare, HandOff, PipeOut };

// How the writer feeds the relay. Even: a stamped piece of 100 bytes every
// nPeriodUs (the latency floor). Frames and Chunks play the feeder's line-rate
// runs: the feeder's frame mix at dwRate bytes/s, a frame a write or, every
// nPeriodUs, the whole frames due by then in one write.
enum class EFloorFeed : int32_t { Even, Frames, Chunks };

struct CFloorFeed {
    EFloorFeed m_eFeed = EFloorFeed::Even;
    int32_t m_nPeriodUs = 1000;
    uint32_t m_dwRate = 0;   // bytes/s: Frames and Chunks
};

// nStartAtNs (BenchNowNs's clock): when the feed starts, so that another
// process can measure the same stretch; 0 or past: at once.
CWakeFloor MeasureWakeFloor(const CFloorFeed& feed, int32_t nMs, EFloorWork eWork, int64_t nStartAtNs = 0);
inline CWakeFloor MeasureWakeFloor(int32_t nPeriodUs, int32_t nMs, EFloorWork eWork)
{
    return MeasureWakeFloor(CFloorFeed {EFloorFeed::Even, nPeriodUs, 0}, nMs, eWork);
}

// The relay's floor measured in a process of its own while a face's run goes
// on, so that both see the same stretch of the machine: on a virtual machine
// what a wake-up costs drifts by tens of percent within a minute.
class CFloorLink {
public:
    CFloorLink() = default;
    ~CFloorLink();
    CFloorLink(const CFloorLink&) = delete;
    CFloorLink& operator=(const CFloorLink&) = delete;

    // Forks the measuring process. Call before any thread exists.
    bool Start();
    // Starts a PipeOut measurement of nMs at nStartAtNs (BenchNowNs's clock).
    bool Begin(const CFloorFeed& feed, int32_t nMs, int64_t nStartAtNs);
    // The figures of the measurement begun last; false when none came in time.
    bool Collect(CWakeFloor* pFloor, int32_t nTimeoutMs);
    void Exit();

private:
    int m_fdOrder = -1;
    int m_fdResult = -1;
    pid_t m_pid = -1;
};
