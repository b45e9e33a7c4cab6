// qm-capture-bench: the whole capture path end to end, through the dialog's
// own wiring: a feeder process plays the dongle on a pseudo-terminal, this
// process runs the dialog's model (Start, Stop, the Rx label's timer, the
// log) with its capture engine on Qt's event loop, without showing a window,
// and a reader process (this program again, launched by the pipe link as it
// would launch Wireshark) reads the FIFO and notes when each record arrived
// and the stamp it carries. Only this process's CPU time is counted. The
// headless session's line-rate runs come from qm-capture-headless-bench,
// run as a child first. It measures, in one run:
//   - CPU % of one core at the line rate (100,000 B/s), frames written one by
//     one and in 1 ms chunks as USB delivers them;
//   - an unpaced flood: frames lost (or garbled), MB/s, CPU ms per MB;
//   - latency from the feeder's write to the reader's read at 200 frames/s;
//   - the time stamps' error (stamp minus the feeder's write) at line rate;
//   - the line-rate CPU of both faces as a ratio to the bare relay's floor
//     (same piece rate, measured alongside each run by a process of its own,
//     second by second; the target reads the median of the seconds' ratios);
//   - with the reader paused and the pipe full, the time from Stop to the
//     stop command at the dongle;
//   - the machine's floors under these: a bare thread woken by a pty, one
//     that hands on to a second thread, one that relays to a pipe another
//     process reads, and that relay's latency at 200 pieces/s.
// Exit status 0 when every target holds, 1 when one is missed, 2 when the
// benchmark could not run. MB = 2^20 bytes.
//
//   qm-capture-bench [--line-seconds S] [--flood-frames N] [--latency-seconds S] [--flush-hold-us US] [--keep]
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/capture_bench_dialog.h"
#include "bench/capture_bench_faces.h"
#include "bench/capture_bench_floor_posix.h"
#include "bench/capture_bench_phases.h"
#include "bench/capture_bench_reader_posix.h"
#include "link/flush_pacer.h"
#include "serial/port_names.h"

namespace {

constexpr uint32_t MIN_FLOOD_FRAMES = 20000;
constexpr double MIN_FLOOD_MB_S = 10.0;
constexpr double MAX_CPU_MS_PER_MB = 15.0;   // a tenth of a plain Python bridge's
constexpr double MAX_FLOOR_RATIO = 1.15;      // line-rate CPU against the bare relay's
constexpr double MAX_P99_MS = 1.0;
constexpr double MAX_STOP_MS = 100.0;
constexpr int32_t FLOOR_PERIOD_US = 1000;
constexpr int32_t FLOOR_MS = 2000;

struct CBenchOptions {
    double m_dLineSeconds = 8.0;
    uint32_t m_dwFloodFrames = 200000;
    double m_dLatencySeconds = 5.0;
    bool m_bKeep = false;   // leave the reader's findings in the temporary directory
    int64_t m_nFlushHoldUs = -1;   // the dialog's engine: records' hold before their write (-1: its own)
};

bool ParseOptions(int argc, char** argv, CBenchOptions* pOptions)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg == "--keep") {
            pOptions->m_bKeep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* pszValue = argv[++i];
        if (strArg == "--line-seconds")
            pOptions->m_dLineSeconds = std::strtod(pszValue, nullptr);
        else if (strArg == "--flood-frames")
            pOptions->m_dwFloodFrames = static_cast<uint32_t>(std::strtoul(pszValue, nullptr, 10));
        else if (strArg == "--latency-seconds")
            pOptions->m_dLatencySeconds = std::strtod(pszValue, nullptr);
        else if (strArg == "--flush-hold-us")
            pOptions->m_nFlushHoldUs = std::strtoll(pszValue, nullptr, 10);
        else
            return false;
    }
    return pOptions->m_dLineSeconds >= 1 && pOptions->m_dLineSeconds <= 60
        && pOptions->m_dwFloodFrames >= MIN_FLOOD_FRAMES && pOptions->m_dwFloodFrames <= 10000000
        && pOptions->m_dLatencySeconds >= 1 && pOptions->m_dLatencySeconds <= 60
        && pOptions->m_nFlushHoldUs >= -1 && pOptions->m_nFlushHoldUs <= FLUSH_HOLD_BOUND_US;
}

std::string SelfPath()
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

void PrintValue(double dValue, const char* pszFormat, int nWidth)
{
    if (dValue < 0)
        std::printf(" %*s", nWidth, "-");
    else
        std::printf(pszFormat, nWidth, dValue);
}

void PrintRow(const CPhaseRow& row)
{
    std::printf("%-32s", row.m_strName.c_str());
    if (!row.m_bRan) {
        std::printf(" did not run: %s\n", row.m_strError.c_str());
        return;
    }
    std::printf(" %8u %6u %5u", row.m_report.m_dwFrames, row.m_fig.m_dwLost, row.m_fig.m_dwBad + row.m_fig.m_dwDuplicates);
    PrintValue(row.m_dMbPerS, " %*.2f", 7);
    PrintValue(row.m_dCpuPercent, " %*.2f", 7);
    PrintValue(row.m_dCpuMsPerMb, " %*.1f", 9);
    PrintValue(row.m_fig.m_dP50Ms, " %*.3f", 7);
    PrintValue(row.m_fig.m_dP99Ms, " %*.3f", 7);
    PrintValue(row.m_fig.m_dMaxMs, " %*.2f", 7);
    std::printf("\n");
}

void PrintCounts(const CPhaseRow& row)
{
    if (!row.m_bRan)
        return;
    std::printf("  %-30s %.2f MB written in %.3f s; CPU ms: window thread %.1f, serial reader %.1f, serial writer "
                "%.1f, other threads (pipe writer) %.1f\n",
                row.m_strName.c_str(), static_cast<double>(row.m_report.m_qwBytes) / BENCH_MB,
                static_cast<double>(row.m_report.m_nLastWriteNs - row.m_report.m_nFirstWriteNs) / 1e9,
                row.m_dCpuWindowMs, row.m_dCpuSerialMs, row.m_dCpuSerialWriterMs, row.m_dCpuOtherMs);
    std::printf("  %-30s cut %llu frames, gaps %llu (%llu bytes), noise %llu bytes; pipe delivered %llu, "
                "dropped: no reader %llu, reader too slow %llu%s%s%s\n",
        "", static_cast<unsigned long long>(row.m_counters.m_qwDataFrames),
        static_cast<unsigned long long>(row.m_counters.m_qwGaps),
        static_cast<unsigned long long>(row.m_counters.m_qwGapBytes),
        static_cast<unsigned long long>(row.m_counters.m_qwNoiseBytes),
        static_cast<unsigned long long>(row.m_pipe.m_qwRecordsDelivered),
        static_cast<unsigned long long>(row.m_pipe.m_qwDroppedNoReader),
        static_cast<unsigned long long>(row.m_pipe.m_qwDroppedSlowReader),
        row.m_bStreamOk ? "" : "; the reader's stream was BROKEN", row.m_strError.empty() ? "" : "; ",
        row.m_strError.c_str());
    if (row.m_fig.m_dwReads > 0)
        std::printf("  %-30s the reader (Wireshark's place) was woken %u times: %.2f frames a read\n", "",
                    row.m_fig.m_dwReads, static_cast<double>(row.m_fig.m_dwReceived) / row.m_fig.m_dwReads);
    if (!BenchLossesAddUp(row.m_counters, row.m_pipe, row.m_fig.m_dwReceived))
        std::printf("  %-30s LOSSES DO NOT ADD UP: the reader holds %u frames\n", "", row.m_fig.m_dwReceived);
}

bool Target(const char* pszWhat, bool bMet, const std::string& strMeasured)
{
    std::printf("  %-50s %-26s %s\n", pszWhat, strMeasured.c_str(), bMet ? "met" : "MISSED");
    return bMet;
}

std::string Fmt(const char* pszFormat, double dValue)
{
    char sz[64];
    std::snprintf(sz, sizeof(sz), pszFormat, dValue);
    return sz;
}

bool IsWhole(const CPhaseRow& row)
{
    return row.m_bRan && row.m_strError.empty() && row.m_bStreamOk && row.m_fig.m_dwLost == 0 && row.m_fig.m_dwBad == 0
        && row.m_fig.m_dwDuplicates == 0;
}

// dRatio: the median of the run's per-second ratios.
bool RatioTarget(const char* pszWhat, double dRatio)
{
    return Target(pszWhat, dRatio >= 0 && dRatio <= MAX_FLOOR_RATIO, Fmt("%.2f x the relay", dRatio));
}

bool PrintTargets(const CPhaseRow& frames, const CPhaseRow& chunks, const CPhaseRow& flood, const CPhaseRow& latency,
                  const CStopFigures& stop, const CFaceFigures& headless)
{
    std::printf("targets:\n");
    bool bAll = true;
    const bool bPacedWhole = IsWhole(frames) && IsWhole(chunks) && IsWhole(latency) && headless.m_bWhole;
    bAll &= Target("paced runs: every frame reached the reader whole", bPacedWhole, bPacedWhole ? "yes" : "no (see above)");
    bool bCounted = stop.m_bRan && BenchStopLossesAddUp(stop);
    for (const CPhaseRow* pRow : {&frames, &chunks, &flood, &latency})
        bCounted = bCounted && pRow->m_bRan && BenchLossesAddUp(pRow->m_counters, pRow->m_pipe, pRow->m_fig.m_dwReceived);
    bAll &= Target("every run: cut = delivered + dropped by cause", bCounted, bCounted ? "yes" : "no (see above)");
    bAll &= RatioTarget("dialog, line rate, one write per frame: <= 1.15 x", BenchSliceRatio(frames));
    bAll &= RatioTarget("dialog, line rate, 1 ms chunks: <= 1.15 x", BenchSliceRatio(chunks));
    bAll &= RatioTarget("headless, line rate, one write per frame: <= 1.15 x", headless.m_dFramesRatio);
    bAll &= RatioTarget("headless, line rate, 1 ms chunks: <= 1.15 x", headless.m_dChunksRatio);
    bAll &= Target("flood: 0 lost at >= 10 MB/s", IsWhole(flood) && flood.m_dMbPerS >= MIN_FLOOD_MB_S,
                   std::to_string(flood.m_fig.m_dwLost + flood.m_fig.m_dwBad) + " lost/bad at " + Fmt("%.2f MB/s", flood.m_dMbPerS));
    bAll &= Target("flood, the dialog's loop: <= 15 ms CPU per MB",
                   flood.m_bRan && flood.m_dCpuMsPerMb >= 0 && flood.m_dCpuMsPerMb <= MAX_CPU_MS_PER_MB,
                   Fmt("%.1f ms/MB", flood.m_dCpuMsPerMb));
    const bool bLatencyOk = latency.m_bRan && latency.m_strError.empty() && latency.m_fig.m_dwLost == 0 && latency.m_fig.m_dP99Ms >= 0;
    bAll &= Target("p99 line -> FIFO < 1 ms at 200 frames/s", bLatencyOk && latency.m_fig.m_dP99Ms < MAX_P99_MS,
                   Fmt("%.3f ms", latency.m_fig.m_dP99Ms));
    // A Stop that came quickly but left the reader garbage or the dongle unanswered is no pass.
    const bool bStopOk = stop.m_bRan && stop.m_strError.empty() && stop.m_dStopToCommandMs >= 0 && stop.m_bAcknowledged
        && stop.m_dwReaderBad == 0;
    bAll &= Target("Stop -> stop command < 100 ms, reader paused", bStopOk && stop.m_dStopToCommandMs < MAX_STOP_MS,
                   Fmt("%.2f ms", stop.m_dStopToCommandMs));
    return bAll;
}

void PrintStamps(const CPhaseRow& row)
{
    if (row.m_bRan && row.m_fig.m_bStamps)
        std::printf("  %-30s time stamp minus the feeder's write, us: min %.0f, p50 %.0f, p99 %.0f, max %.0f\n",
                    row.m_strName.c_str(), row.m_fig.m_dStampMinUs, row.m_fig.m_dStampP50Us, row.m_fig.m_dStampP99Us,
                    row.m_fig.m_dStampMaxUs);
}

void PrintFaces(const CPhaseRow& frames, const CPhaseRow& chunks, const CFaceFigures& headless)
{
    std::printf("line rate against the bare relay (poll, read, write to a FIFO another process reads; same piece "
                "rate, measured alongside each run in a process of its own; whole: the window's CPU over the "
                "relay's, per s: the median of the ratios of its seconds):\n");
    std::printf("  %-22s %9s %9s %6s %6s %11s %9s %6s %6s\n", "", "dialog %", "relay %", "whole", "per s",
                "headless %", "relay %", "whole", "per s");
    std::printf("  %-22s %9.2f %9.2f %6.2f %6.2f %11.2f %9.2f %6.2f %6.2f\n", "one write per frame",
                frames.m_dCpuPercent, frames.m_floor.m_dCpuPercent,
                FloorRatio(frames.m_dCpuPercent, frames.m_floor.m_dCpuPercent), BenchSliceRatio(frames),
                headless.m_dFramesCpuPercent, headless.m_dFramesFloorPercent,
                FloorRatio(headless.m_dFramesCpuPercent, headless.m_dFramesFloorPercent), headless.m_dFramesRatio);
    std::printf("  %-22s %9.2f %9.2f %6.2f %6.2f %11.2f %9.2f %6.2f %6.2f\n", "1 ms chunks", chunks.m_dCpuPercent,
                chunks.m_floor.m_dCpuPercent, FloorRatio(chunks.m_dCpuPercent, chunks.m_floor.m_dCpuPercent),
                BenchSliceRatio(chunks), headless.m_dChunksCpuPercent, headless.m_dChunksFloorPercent,
                FloorRatio(headless.m_dChunksCpuPercent, headless.m_dChunksFloorPercent), headless.m_dChunksRatio);
    for (const CPhaseRow* pRow : {&frames, &chunks})
        std::printf("  dialog, %-30s against the relay, each second: %s\n", pRow->m_strName.c_str(),
                    DescribeSliceRatios(*pRow).c_str());
    if (!headless.m_bRan)
        std::printf("  the headless runs failed: %s\n", headless.m_strError.c_str());
    else
        std::printf("  headless, one write per frame: time stamp minus the feeder's write, us: p50 %.0f, p99 %.0f, "
                    "max %.0f\n", headless.m_dStampP50Us, headless.m_dStampP99Us, headless.m_dStampMaxUs);
}

void PrintStop(const CStopFigures& stop)
{
    if (!stop.m_bRan) {
        std::printf("stop, reader paused: did not run: %s\n", stop.m_strError.c_str());
        return;
    }
    std::printf("stop, reader paused (SIGSTOP) with the pipe full: the stop command reached the dongle %.2f ms after "
                "Stop; Stop held the window thread %.3f ms; stop %s; %llu records dropped as \"reader too slow\"; "
                "the reader, let go on, held %u whole frames and %u bad records%s%s\n",
        stop.m_dStopToCommandMs, stop.m_dStopCallMs, stop.m_bAcknowledged ? "acknowledged" : "NOT acknowledged",
        static_cast<unsigned long long>(stop.m_qwDroppedSlowReader), stop.m_dwReaderRecords, stop.m_dwReaderBad,
        stop.m_strError.empty() ? "" : "; ", stop.m_strError.c_str());
    std::printf("  cut %llu frames (%llu before Stop, %llu when it returned); pipe delivered %llu, dropped: no reader %llu, reader too slow %llu%s\n",
        static_cast<unsigned long long>(stop.m_counters.m_qwDataFrames),
        static_cast<unsigned long long>(stop.m_qwCutBeforeStop), static_cast<unsigned long long>(stop.m_qwCutAtStop),
        static_cast<unsigned long long>(stop.m_pipe.m_qwRecordsDelivered),
        static_cast<unsigned long long>(stop.m_pipe.m_qwDroppedNoReader),
        static_cast<unsigned long long>(stop.m_pipe.m_qwDroppedSlowReader),
        BenchStopLossesAddUp(stop) ? "" : "; LOSSES DO NOT ADD UP");
}

// The bench's own ports directory and pipe directory, so that it never
// meets a Quillmark (or a test) running beside it.
bool PrepareDirectory(std::string* pstrDir)
{
    char szDir[] = "/tmp/qm-capture-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return false;
    *pstrDir = szDir;
    return mkdir((*pstrDir + "/ports").c_str(), 0700) == 0 && setenv("XDG_RUNTIME_DIR", szDir, 1) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (IsBenchReaderCall(argc, argv))
        return RunBenchReader(argc, argv);
    CBenchOptions options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--line-seconds S] [--flood-frames N>=%u] [--latency-seconds S] [--flush-hold-us US] [--keep]\n", argv[0],
                     MIN_FLOOD_FRAMES);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string strSelf = SelfPath();
    std::string strDir;
    if (strSelf.empty() || !PrepareDirectory(&strDir)) {
        std::fprintf(stderr, "cannot prepare: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string strPorts = strDir + "/ports";
    // The headless face first, in a process of its own, before this one's feeder.
    const std::string strHeadless = std::filesystem::path(strSelf).parent_path() / "qm-capture-headless-bench";
    const CFaceFigures headless = RunHeadlessFace(strHeadless, options.m_dLineSeconds);
    CFeederLink feeder;   // both forked before any thread exists
    CFloorLink relayFloor;
    std::string strError;
    if (!relayFloor.Start()) {
        std::fprintf(stderr, "floor: %s\n", std::strerror(errno));
        return 2;
    }
    if (!feeder.Start(strPorts, BENCH_PORT, &strError)) {
        std::fprintf(stderr, "feeder: %s\n", strError.c_str());
        return 2;
    }
    QCoreApplication app(argc, argv);
    double dLoad[3] = {-1, -1, -1};
    getloadavg(dLoad, 3);
    std::printf("capture benchmark: dongle on %s (COM%d), reader %s; load average %.2f %.2f %.2f, %u CPUs\n",
                feeder.DevicePath().c_str(), BENCH_PORT, strSelf.c_str(), dLoad[0], dLoad[1], dLoad[2],
                std::thread::hardware_concurrency());
    std::fflush(stdout);

    CPhaseRow rowFrames, rowChunks, rowFlood, rowLatency;
    CStopFigures stop;
    {
        CBenchDialog dialog(strDir, BENCH_PORT);
        if (options.m_nFlushHoldUs >= 0)
            dialog.SetFlushHoldUs(static_cast<uint32_t>(options.m_nFlushHoldUs));
        CCaptureBench bench(feeder, dialog, strDir, strSelf);
        bench.SetFloor(&relayFloor);
        rowFrames = bench.RunLineRate("line rate, one write per frame", FEED_LINE_FRAMES, options.m_dLineSeconds);
        rowChunks = bench.RunLineRate("line rate, 1 ms chunks", FEED_LINE_CHUNKS, options.m_dLineSeconds);
        rowFlood = bench.RunFlood(options.m_dwFloodFrames);
        rowLatency = bench.RunLatency(options.m_dLatencySeconds);
        stop = bench.RunStop();
    }
    feeder.Exit();
    relayFloor.Exit();
    const CWakeFloor floor = MeasureWakeFloor(FLOOR_PERIOD_US, FLOOR_MS, EFloorWork::Bare);
    const CWakeFloor floorHandOff = MeasureWakeFloor(FLOOR_PERIOD_US, FLOOR_MS, EFloorWork::HandOff);
    const CWakeFloor floorPipeOut = MeasureWakeFloor(FLOOR_PERIOD_US, FLOOR_MS, EFloorWork::PipeOut);
    const CWakeFloor floorLatency = MeasureWakeFloor(static_cast<int32_t>(1000000 / BENCH_LATENCY_FPS),
        static_cast<int32_t>(options.m_dLatencySeconds * 1000), EFloorWork::PipeOut);

    std::printf("%-32s %8s %6s %5s %7s %7s %9s %7s %7s %7s\n", "run", "frames", "lost", "bad", "MB/s", "CPU %",
                "CPU ms/MB", "p50 ms", "p99 ms", "max ms");
    for (const CPhaseRow* pRow : {&rowFrames, &rowChunks, &rowFlood, &rowLatency})
        PrintRow(*pRow);
    PrintStop(stop);
    std::printf("engine counts per run:\n");
    for (const CPhaseRow* pRow : {&rowFrames, &rowChunks, &rowFlood, &rowLatency})
        PrintCounts(*pRow);
    for (const CPhaseRow* pRow : {&rowFrames, &rowChunks, &rowLatency})
        PrintStamps(*pRow);
    getloadavg(dLoad, 3);
    std::printf("wake-up floor here: a bare thread woken by a pty every 1 ms costs %.2f %% of a core (%.1f us a "
                "wake-up); handing each piece on to a second thread, %.2f %% (%.1f us); writing each piece to a "
                "FIFO another process reads, %.2f %% (%.1f us); load average at the end %.2f %.2f %.2f\n",
                floor.m_dCpuPercent, floor.m_dUsPerWake, floorHandOff.m_dCpuPercent, floorHandOff.m_dUsPerWake,
                floorPipeOut.m_dCpuPercent, floorPipeOut.m_dUsPerWake, dLoad[0], dLoad[1], dLoad[2]);
    std::printf("latency floor here: a bare thread passing each piece from a pty to a FIFO another process reads, "
                "%u pieces/s: p50 %.3f ms, p99 %.3f ms\n", BENCH_LATENCY_FPS, floorLatency.m_dP50Ms,
                floorLatency.m_dP99Ms);
    PrintFaces(rowFrames, rowChunks, headless);
    const bool bAll = PrintTargets(rowFrames, rowChunks, rowFlood, rowLatency, stop, headless);
    std::error_code ec;
    if (options.m_bKeep)
        std::printf("the readers' findings (reader-N.bin) are kept in %s\n", strDir.c_str());
    else
        std::filesystem::remove_all(strDir, ec);
    return bAll ? 0 : 1;
}
