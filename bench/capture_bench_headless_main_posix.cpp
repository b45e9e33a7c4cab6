// qm-capture-headless-bench: the line-rate runs of qm-capture-bench through
// the headless session's wiring (the session on the portable window loop,
// into a FIFO). qm-capture-bench runs it as a child process (the two window
// backends cannot share a process) and reads its last line:
//   headless-result <frames CPU %> <chunks CPU %> <whole 0/1> <stamp p50 us> <stamp p99 us> <stamp max us>
//                   <relay's frames CPU %> <relay's chunks CPU %> <frames ratio> <chunks ratio>
// (the relays measured alongside each run; the ratios are the medians of
// the per-second slices' ratios).
// Exit status 0 when it ran, 2 when it could not.
//
//   qm-capture-headless-bench [--line-seconds S]
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/capture_bench_headless.h"
#include "bench/capture_bench_phases.h"
#include "bench/capture_bench_reader_posix.h"
#include "serial/port_names.h"

namespace {

std::string SelfPath()
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

bool IsWhole(const CPhaseRow& row)
{
    return row.m_bRan && row.m_strError.empty() && row.m_bStreamOk && row.m_fig.m_dwLost == 0 && row.m_fig.m_dwBad == 0
        && row.m_fig.m_dwDuplicates == 0;
}

void PrintRow(const CPhaseRow& row)
{
    if (!row.m_bRan) {
        std::printf("  headless %-30s did not run: %s\n", row.m_strName.c_str(), row.m_strError.c_str());
        return;
    }
    std::printf("  headless %-30s %u frames, %u lost, CPU %.2f %% (serial reader and session threads), stamp error "
                "us: min %.0f p50 %.0f p99 %.0f max %.0f%s%s\n",
        row.m_strName.c_str(), row.m_report.m_dwFrames, row.m_fig.m_dwLost, row.m_dCpuPercent, row.m_fig.m_dStampMinUs,
        row.m_fig.m_dStampP50Us, row.m_fig.m_dStampP99Us, row.m_fig.m_dStampMaxUs, row.m_strError.empty() ? "" : "; ",
        row.m_strError.c_str());
    std::printf("  headless %-30s against the relay, each second: %s\n", row.m_strName.c_str(),
                DescribeSliceRatios(row).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (IsBenchReaderCall(argc, argv))
        return RunBenchReader(argc, argv);
    double dSeconds = 8.0;
    if (argc == 3 && std::strcmp(argv[1], "--line-seconds") == 0)
        dSeconds = std::strtod(argv[2], nullptr);
    if (dSeconds < 1 || dSeconds > 60) {
        std::fprintf(stderr, "usage: %s [--line-seconds S]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char szDir[] = "/tmp/qm-capture-headless-XXXXXX";
    const std::string strSelf = SelfPath();
    if (strSelf.empty() || mkdtemp(szDir) == nullptr || mkdir((std::string(szDir) + "/ports").c_str(), 0700) != 0) {
        std::fprintf(stderr, "cannot prepare: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string strDir = szDir;
    CFeederLink feeder;   // both forked before any thread exists
    CFloorLink floor;
    std::string strError;
    if (!floor.Start()) {
        std::fprintf(stderr, "floor: %s\n", std::strerror(errno));
        return 2;
    }
    if (!feeder.Start(strDir + "/ports", BENCH_PORT, &strError)) {
        std::fprintf(stderr, "feeder: %s\n", strError.c_str());
        return 2;
    }
    SetPortsDirectory((strDir + "/ports").c_str());
    CPhaseRow rowFrames, rowChunks;
    {
        CBenchHeadless wiring(strDir);
        CCaptureBench bench(feeder, wiring, strDir, strSelf);
        bench.SetFloor(&floor);
        rowFrames = bench.RunLineRate("line rate, one write per frame", FEED_LINE_FRAMES, dSeconds);
        rowChunks = bench.RunLineRate("line rate, 1 ms chunks", FEED_LINE_CHUNKS, dSeconds);
    }
    feeder.Exit();
    floor.Exit();
    PrintRow(rowFrames);
    PrintRow(rowChunks);
    const bool bWhole = IsWhole(rowFrames) && IsWhole(rowChunks);
    std::printf("headless-result %.3f %.3f %d %.1f %.1f %.1f %.3f %.3f %.3f %.3f\n", rowFrames.m_dCpuPercent,
                rowChunks.m_dCpuPercent, bWhole ? 1 : 0, rowFrames.m_fig.m_dStampP50Us, rowFrames.m_fig.m_dStampP99Us,
                rowFrames.m_fig.m_dStampMaxUs, rowFrames.m_floor.m_dCpuPercent, rowChunks.m_floor.m_dCpuPercent,
                BenchSliceRatio(rowFrames), BenchSliceRatio(rowChunks));
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
    return 0;
}
