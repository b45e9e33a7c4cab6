#include "bench/capture_bench_phases.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/capture_bench_reader_posix.h"
#include "serial/uart_port.h"

namespace {

constexpr int32_t WARMUP_MS = 500;            // the reader and the pipe settle first
constexpr int32_t TAIL_MS = 300;              // the feeder goes on past the measured window
constexpr int32_t REPORT_SLACK_MS = 10000;
constexpr int32_t FLOOD_REPORT_MS = 60000;
constexpr int32_t SETTLE_STALL_MS = 1000;     // nothing moved in the pipe for this long: done
constexpr int32_t SETTLE_MAX_MS = 15000;
constexpr int32_t STOP_WAIT_MS = 3000;
constexpr int32_t READER_RESULT_MS = 5000;
constexpr int32_t READER_PID_MS = 3000;
constexpr int32_t FLOOR_SLACK_MS = 5000;      // the floor's own set-up and tail beyond its window
// The relay alongside a line-rate run plays the feeder's pattern a thousandth
// slower (its tick a microsecond longer, its frames' rate a thousandth lower),
// so that the two drift through every phase about once a second. In step,
// both writers would wake their readers at the same moments, and how the two
// shared the machine would hang on how the runs happened to start.
constexpr int32_t CHUNK_FLOOR_PERIOD_US = 1001;
constexpr uint32_t FRAMES_FLOOR_RATE = BENCH_LINE_RATE - BENCH_LINE_RATE / 1000;
constexpr int32_t FLOOR_LEAD_MS = 100;        // the relay's own set-up before both start
constexpr uint32_t STOP_FILL_FRAMES = 80000;  // ~7 MB: more than the FIFO and the pipe's queue hold
constexpr int32_t STOP_STREAM_MS = 300;       // line-rate traffic before Stop is pressed

int64_t ClockNs(clockid_t clk)
{
    struct timespec ts;
    if (clock_gettime(clk, &ts) != 0)
        return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// 0 for no thread (the port's default handle while it has none).
int64_t ThreadCpuNs(pthread_t thread)
{
    clockid_t clk;
    return thread != pthread_t() && pthread_getcpuclockid(thread, &clk) == 0 ? ClockNs(clk) : 0;
}

// Process, window thread (this one), serial reader thread, serial writer thread.
void SampleCpu(CUartPort* pPort, int64_t* pnOut)
{
    pnOut[0] = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    pnOut[1] = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    pnOut[2] = pPort != nullptr ? ThreadCpuNs(pPort->GetReaderThreadHandle()) : 0;
    pnOut[3] = pPort != nullptr ? ThreadCpuNs(pPort->GetWriterThreadHandle()) : 0;
}

CRfCounters CountersSince(const CRfCounters& now, const CRfCounters& then)
{
    return {now.m_qwDataFrames - then.m_qwDataFrames, now.m_qwDataBytes - then.m_qwDataBytes,
            now.m_qwNoiseBytes - then.m_qwNoiseBytes, now.m_qwGaps - then.m_qwGaps,
            now.m_qwGapBytes - then.m_qwGapBytes};
}

CPcapPipeStats PipeSince(const CPcapPipeStats& now, const CPcapPipeStats& then)
{
    return {now.m_qwRecordsQueued - then.m_qwRecordsQueued, now.m_qwRecordsDelivered - then.m_qwRecordsDelivered,
            now.m_qwBytesDelivered - then.m_qwBytesDelivered, now.m_qwDroppedNoReader - then.m_qwDroppedNoReader,
            now.m_qwDroppedSlowReader - then.m_qwDroppedSlowReader};
}

double CpuMsPerMb(int64_t nCpuNs, uint64_t qwBytes)
{
    return qwBytes == 0 ? -1 : static_cast<double>(nCpuNs) / 1e6 / (static_cast<double>(qwBytes) / BENCH_MB);
}

// The face's loop runs until nAtNs (BenchNowNs's clock).
void PumpUntilNs(int64_t nAtNs)
{
    for (int64_t nNow = BenchNowNs(); nNow < nAtNs; nNow = BenchNowNs())
        PumpFor(static_cast<int32_t>((nAtNs - nNow + 999999) / 1000000));
}

// The run's CPU % over the relay's, slice by slice.
std::vector<double> SliceRatios(const CPhaseRow& row)
{
    std::vector<double> vecRatio;
    for (int32_t i = 0; i < std::min(row.m_nSlices, row.m_floor.m_nSlices); ++i) {
        if (row.m_floor.m_adSlicePercent[i] > 0)
            vecRatio.push_back(row.m_adSlicePercent[i] / row.m_floor.m_adSlicePercent[i]);
    }
    return vecRatio;
}

} // namespace

bool BenchLossesAddUp(const CRfCounters& counters, const CPcapPipeStats& pipe, uint64_t qwReaderRecords)
{
    return counters.m_qwDataFrames == pipe.m_qwRecordsDelivered + pipe.m_qwDroppedNoReader + pipe.m_qwDroppedSlowReader
        && qwReaderRecords == pipe.m_qwRecordsDelivered;
}

bool BenchStopLossesAddUp(const CStopFigures& stop)
{
    const uint64_t qwDone = stop.m_pipe.m_qwRecordsDelivered + stop.m_pipe.m_qwDroppedNoReader
        + stop.m_pipe.m_qwDroppedSlowReader;
    return qwDone >= stop.m_qwCutBeforeStop && qwDone <= stop.m_qwCutAtStop
        && stop.m_dwReaderRecords == stop.m_pipe.m_qwRecordsDelivered;
}

double BenchSliceRatio(const CPhaseRow& row)
{
    std::vector<double> vecRatio = SliceRatios(row);
    if (vecRatio.empty())
        return -1;
    std::sort(vecRatio.begin(), vecRatio.end());
    const size_t nMid = vecRatio.size() / 2;
    return vecRatio.size() % 2 != 0 ? vecRatio[nMid] : (vecRatio[nMid - 1] + vecRatio[nMid]) / 2;
}

std::string DescribeSliceRatios(const CPhaseRow& row)
{
    std::string strOut;
    char szRatio[16];
    for (double dRatio : SliceRatios(row)) {
        std::snprintf(szRatio, sizeof szRatio, "%s%.2f", strOut.empty() ? "" : " ", dRatio);
        strOut += szRatio;
    }
    return strOut;
}

bool CCaptureBench::Begin(CPhaseRow& row, std::string* pstrOut)
{
    *pstrOut = m_strDir + "/reader-" + std::to_string(++m_nRuns);
    m_countersAtStart = m_engine.GetCounters();
    m_pipeAtStart = m_engine.GetPipeStats();
    if (!SetBenchReaderOutput(*pstrOut)) {
        row.m_strError = "cannot set the reader's output";
        return false;
    }
    if (!m_engine.Start(m_strReader.c_str(), BENCH_PORT, BENCH_CHANNEL, &row.m_strError))
        return false;
    row.m_bRan = true;
    return true;
}

void CCaptureBench::Finish(CPhaseRow& row, const std::string& strOut)
{
    m_engine.Stop();
    if (!m_engine.WaitStopped(STOP_WAIT_MS))
        row.m_strError = "the stop command was not acknowledged";
    row.m_counters = CountersSince(m_engine.GetCounters(), m_countersAtStart);
    row.m_pipe = PipeSince(m_engine.GetPipeStats(), m_pipeAtStart);
    CReaderResult result;
    if (!LoadBenchReaderResult(strOut, READER_RESULT_MS, &result)) {
        row.m_strError = "the reader left no findings";
        return;
    }
    row.m_bStreamOk = result.m_bHeaderOk && !result.m_bStreamBroken;
    row.m_fig = BenchRangeFigures(result, row.m_report.m_dwFirstSeq, row.m_report.m_dwFrames);
    const int64_t nSpanNs = row.m_fig.m_nLastArrivalNs - row.m_report.m_nFirstWriteNs;
    if (nSpanNs > 0)
        row.m_dMbPerS = static_cast<double>(row.m_report.m_qwBytes) / BENCH_MB / (static_cast<double>(nSpanNs) / 1e9);
}

void CCaptureBench::PumpSlices(CPhaseRow& row, int64_t nStartNs, int32_t nWindowMs)
{
    row.m_nSlices = std::min(nWindowMs / FLOOR_SLICE_MS, FLOOR_MAX_SLICES);
    int64_t nCpuLast = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    int64_t nLast = BenchNowNs();
    for (int32_t i = 0; i < row.m_nSlices; ++i) {
        PumpUntilNs(nStartNs + static_cast<int64_t>(i + 1) * FLOOR_SLICE_MS * 1000000);
        const int64_t nCpu = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
        const int64_t nNow = BenchNowNs();
        row.m_adSlicePercent[i] = 100.0 * static_cast<double>(nCpu - nCpuLast) / static_cast<double>(nNow - nLast);
        nCpuLast = nCpu;
        nLast = nNow;
    }
    PumpUntilNs(nStartNs + static_cast<int64_t>(nWindowMs) * 1000000);
}

void CCaptureBench::BeginCpu()
{
    SampleCpu(m_engine.GetPort(), m_nCpuAtStart);
    m_nWallAtStart = BenchNowNs();
}

// qwBytes 0: the line rate over the stretch.
void CCaptureBench::EndCpu(CPhaseRow& row, uint64_t qwBytes)
{
    int64_t nCpu[CPU_CLOCKS];
    SampleCpu(m_engine.GetPort(), nCpu);
    const int64_t nWall = BenchNowNs() - m_nWallAtStart;
    for (int i = 0; i < CPU_CLOCKS; ++i)
        nCpu[i] -= m_nCpuAtStart[i];
    if (qwBytes == 0)
        qwBytes = static_cast<uint64_t>(static_cast<double>(nWall) / 1e9 * BENCH_LINE_RATE);
    row.m_dCpuPercent = 100.0 * static_cast<double>(nCpu[0]) / static_cast<double>(nWall);
    row.m_dCpuMsPerMb = CpuMsPerMb(nCpu[0], qwBytes);
    row.m_dCpuWindowMs = static_cast<double>(nCpu[1]) / 1e6;
    row.m_dCpuSerialMs = static_cast<double>(nCpu[2]) / 1e6;
    row.m_dCpuSerialWriterMs = static_cast<double>(nCpu[3]) / 1e6;
    row.m_dCpuOtherMs = static_cast<double>(nCpu[0] - nCpu[1] - nCpu[2] - nCpu[3]) / 1e6;
}

bool CCaptureBench::WaitReport(CFeedReport* pReport, int32_t nTimeoutMs)
{
    int32_t nGot = 0;
    PumpUntil([&] { return (nGot = m_feeder.Receive(pReport, 0)) != 0; }, nTimeoutMs);
    return nGot == 1;
}

// Until the pipe has written or dropped qwRecords records, or stops moving.
void CCaptureBench::WaitSettled(uint64_t qwRecords)
{
    uint64_t qwLast = m_engine.RecordsDone();
    int32_t nStill = 0;
    for (int32_t nWaited = 0; qwLast < qwRecords && nStill < SETTLE_STALL_MS && nWaited < SETTLE_MAX_MS;) {
        PumpFor(5);
        nWaited += 5;
        const uint64_t qwNow = m_engine.RecordsDone();
        nStill = qwNow == qwLast ? nStill + 5 : 0;
        qwLast = qwNow;
    }
}

CPhaseRow CCaptureBench::RunLineRate(const char* pszName, int32_t nMode, double dSeconds)
{
    CPhaseRow row;
    row.m_strName = pszName;
    std::string strOut;
    if (!Begin(row, &strOut))
        return row;
    const int32_t nWindowMs = static_cast<int32_t>(dSeconds * 1000);
    const CFeedOrder order = {nMode, BENCH_LINE_RATE, 0,
                              static_cast<uint32_t>(WARMUP_MS + FLOOR_LEAD_MS + nWindowMs + TAIL_MS)};
    if (m_feeder.Send(order)) {
        PumpFor(WARMUP_MS);
        const CFloorFeed feed = {nMode == FEED_LINE_FRAMES ? EFloorFeed::Frames : EFloorFeed::Chunks,
                                 CHUNK_FLOOR_PERIOD_US,
                                 nMode == FEED_LINE_FRAMES ? FRAMES_FLOOR_RATE : BENCH_LINE_RATE};
        const int64_t nStartNs = BenchNowNs() + static_cast<int64_t>(FLOOR_LEAD_MS) * 1000000;
        const bool bFloor = m_pFloor != nullptr && m_pFloor->Begin(feed, nWindowMs, nStartNs);
        PumpUntilNs(nStartNs);
        BeginCpu();
        PumpSlices(row, nStartNs, nWindowMs);
        EndCpu(row, 0);
        if (bFloor && !m_pFloor->Collect(&row.m_floor, nWindowMs + FLOOR_SLACK_MS))
            row.m_strError = "the relay's floor did not report";
        if (!WaitReport(&row.m_report, nWindowMs + REPORT_SLACK_MS))
            row.m_strError = "the feeder did not report";
        WaitSettled(row.m_report.m_dwFrames);
    } else {
        row.m_strError = "the feeder is gone";
    }
    Finish(row, strOut);
    return row;
}

CPhaseRow CCaptureBench::RunFlood(uint32_t dwFrames)
{
    CPhaseRow row;
    row.m_strName = "unpaced flood";
    std::string strOut;
    if (!Begin(row, &strOut))
        return row;
    BeginCpu();
    const CFeedOrder order = {FEED_FLOOD, 0, dwFrames, 0};
    if (!m_feeder.Send(order) || !WaitReport(&row.m_report, FLOOD_REPORT_MS))
        row.m_strError = "the feeder did not report";
    WaitSettled(row.m_report.m_dwFrames);
    EndCpu(row, row.m_report.m_qwBytes);
    Finish(row, strOut);
    return row;
}

CPhaseRow CCaptureBench::RunLatency(double dSeconds)
{
    CPhaseRow row;
    row.m_strName = std::to_string(BENCH_LATENCY_FPS) + " frames/s";
    std::string strOut;
    if (!Begin(row, &strOut))
        return row;
    const uint32_t dwFrames = static_cast<uint32_t>(dSeconds * BENCH_LATENCY_FPS);
    BeginCpu();
    const CFeedOrder order = {FEED_PACED_FRAMES, BENCH_LATENCY_FPS, dwFrames, 0};
    const bool bSent = m_feeder.Send(order);
    if (bSent)
        PumpFor(static_cast<int32_t>(dSeconds * 1000));   // no polling of our own while the frames go
    if (!bSent || !WaitReport(&row.m_report, REPORT_SLACK_MS))
        row.m_strError = "the feeder did not report";
    WaitSettled(row.m_report.m_dwFrames);
    EndCpu(row, row.m_report.m_qwBytes);
    Finish(row, strOut);
    return row;
}

CStopFigures CCaptureBench::RunStop()
{
    CStopFigures stop;
    CPhaseRow row;
    std::string strOut;
    if (!Begin(row, &strOut)) {
        stop.m_strError = row.m_strError;
        return stop;
    }
    stop.m_bRan = true;
    const pid_t pidReader = WaitBenchReaderPid(strOut, READER_PID_MS);
    if (pidReader <= 0 || kill(pidReader, SIGSTOP) != 0) {
        stop.m_strError = "the reader could not be paused";
        Finish(row, strOut);
        return stop;
    }
    // Fill the FIFO and the pipe's queue, then keep the line busy as a dongle would.
    CFeedReport filled = {};
    CFeedReport report = {};
    const CFeedOrder fill = {FEED_FLOOD, 0, STOP_FILL_FRAMES, 0};
    const CFeedOrder stream = {FEED_LINE_CHUNKS, BENCH_LINE_RATE, 0, 0};
    if (!m_feeder.Send(fill) || !WaitReport(&filled, FLOOD_REPORT_MS) || !m_feeder.Send(stream))
        stop.m_strError = "the feeder did not report";
    PumpFor(STOP_STREAM_MS);

    stop.m_qwCutBeforeStop = m_engine.GetCounters().m_qwDataFrames - m_countersAtStart.m_qwDataFrames;
    const int64_t nStopNs = BenchNowNs();
    m_engine.Stop();
    stop.m_dStopCallMs = static_cast<double>(BenchNowNs() - nStopNs) / 1e6;
    stop.m_qwCutAtStop = m_engine.GetCounters().m_qwDataFrames - m_countersAtStart.m_qwDataFrames;
    if (WaitReport(&report, STOP_WAIT_MS) && report.m_nStopCommandNs >= nStopNs)
        stop.m_dStopToCommandMs = static_cast<double>(report.m_nStopCommandNs - nStopNs) / 1e6;
    else
        stop.m_strError = "the stop command did not reach the dongle";
    stop.m_bAcknowledged = m_engine.WaitStopped(STOP_WAIT_MS);
    stop.m_counters = CountersSince(m_engine.GetCounters(), m_countersAtStart);
    stop.m_pipe = PipeSince(m_engine.GetPipeStats(), m_pipeAtStart);
    stop.m_qwDroppedSlowReader = stop.m_pipe.m_qwDroppedSlowReader;

    kill(pidReader, SIGCONT);
    CReaderResult result;
    if (LoadBenchReaderResult(strOut, READER_RESULT_MS, &result)) {
        const CRangeFigures fig = BenchRangeFigures(result, filled.m_dwFirstSeq, filled.m_dwFrames + report.m_dwFrames);
        stop.m_dwReaderRecords = fig.m_dwReceived;
        stop.m_dwReaderBad = fig.m_dwBad + fig.m_dwDuplicates + (result.m_bHeaderOk && !result.m_bStreamBroken ? 0 : 1);
    } else {
        kill(pidReader, SIGKILL);   // it never saw the end of its stream
    }
    return stop;
}
