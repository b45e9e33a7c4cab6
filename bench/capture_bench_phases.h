// qm-capture-bench: the measured runs. Each is one capture as the dialog runs
// it (Start: pipe, reader, dongle handshake; Stop: stop command, pipe cut),
// with a fresh reader process, so every run also checks what that reader got.
#pragma once

#include <cstdint>
#include <string>

#include "bench/capture_bench_wiring.h"
#include "bench/capture_bench_feeder_posix.h"
#include "bench/capture_bench_floor_posix.h"
#include "bench/capture_bench_frames.h"

constexpr uint32_t BENCH_LINE_RATE = 100000;    // bytes/s: 1,000,000 baud, 10 bits a byte
constexpr uint32_t BENCH_LATENCY_FPS = 200;
constexpr int32_t BENCH_PORT = 250;             // the feeder's pty, published as com250
constexpr int32_t BENCH_CHANNEL = 15;
constexpr double BENCH_MB = 1024.0 * 1024.0;
constexpr int CPU_CLOCKS = 4;   // process, window thread, serial reader, serial writer

struct CPhaseRow {
    std::string m_strName;
    bool m_bRan = false;
    std::string m_strError;
    CFeedReport m_report = {};
    CRangeFigures m_fig;
    bool m_bStreamOk = false;       // the reader got a pcap header and no broken record header
    double m_dCpuPercent = -1;      // whole capture process, % of one core
    double m_dCpuMsPerMb = -1;
    double m_dMbPerS = -1;          // line bytes from the first write to the last arrival
    double m_dCpuWindowMs = -1;     // where the CPU time went: the window thread,
    double m_dCpuSerialMs = -1;     //   the serial reader thread,
    double m_dCpuSerialWriterMs = -1;   // the serial writer thread,
    double m_dCpuOtherMs = -1;      //   every other thread (the pipe's writer)
    CRfCounters m_counters = {};    // what the controller counted during the run
    CPcapPipeStats m_pipe = {};     // what the pipe counted during the run
    CWakeFloor m_floor;             // line rate: the bare relay, measured alongside
    int32_t m_nSlices = 0;          // line rate: the process's CPU % in the floor's slices
    double m_adSlicePercent[FLOOR_MAX_SLICES] = {};
};

struct CStopFigures {
    bool m_bRan = false;
    std::string m_strError;
    double m_dStopToCommandMs = -1;   // Stop pressed -> stop command read by the dongle
    double m_dStopCallMs = -1;        // how long StopCapture + Disconnect held the window thread
    bool m_bAcknowledged = false;     // the stop acknowledgement reached the controller
    uint64_t m_qwDroppedSlowReader = 0;
    uint32_t m_dwReaderRecords = 0;   // what the paused reader had read when it went on
    uint32_t m_dwReaderBad = 0;
    CRfCounters m_counters = {};
    CPcapPipeStats m_pipe = {};
    // Frames cut before Stop was called and once it returned: the output is
    // switched off inside Stop, and frames cut after it go nowhere by design.
    uint64_t m_qwCutBeforeStop = 0;
    uint64_t m_qwCutAtStop = 0;
};

// Every frame cut was written to the reader or dropped and counted by cause,
// and the reader holds exactly what was written to it.
bool BenchLossesAddUp(const CRfCounters& counters, const CPcapPipeStats& pipe, uint64_t qwReaderRecords);
// The same for the stop run, up to the frames cut while Stop switched the output off.
bool BenchStopLossesAddUp(const CStopFigures& stop);
// A line-rate run's CPU against the relay's, the median of the slices' ratios
// (-1 without slices). A host stall charges a slice's time to whichever of
// the two was running and swings that slice's ratio by up to half; the
// median leaves such a slice out on either side.
double BenchSliceRatio(const CPhaseRow& row);
// The slices' ratios, "1.07 1.10 ...".
std::string DescribeSliceRatios(const CPhaseRow& row);

class CCaptureBench {
public:
    CCaptureBench(CFeederLink& feeder, IBenchWiring& engine, const std::string& strDir, const std::string& strReader)
        : m_feeder(feeder), m_engine(engine), m_strDir(strDir), m_strReader(strReader)
    {
    }

    // Line-rate runs measure the bare relay alongside them there.
    void SetFloor(CFloorLink* pFloor) { m_pFloor = pFloor; }
    // Line rate for dSeconds (CPU measured after a short warm-up).
    CPhaseRow RunLineRate(const char* pszName, int32_t nMode, double dSeconds);
    // dwFrames frames as fast as the line takes them.
    CPhaseRow RunFlood(uint32_t dwFrames);
    // BENCH_LATENCY_FPS frames a second, each its own write, for dSeconds.
    CPhaseRow RunLatency(double dSeconds);
    // The reader paused (SIGSTOP) with the pipe full, then Stop.
    CStopFigures RunStop();

private:
    bool Begin(CPhaseRow& row, std::string* pstrOut);
    void Finish(CPhaseRow& row, const std::string& strOut);
    // Samples the CPU clocks before a measured stretch; ends it into row.
    void BeginCpu();
    void EndCpu(CPhaseRow& row, uint64_t qwBytes);
    // Pumps the face's loop through the measured window from nStartNs,
    // noting the process's CPU % in each of the floor's slices.
    void PumpSlices(CPhaseRow& row, int64_t nStartNs, int32_t nWindowMs);
    bool WaitReport(CFeedReport* pReport, int32_t nTimeoutMs);
    void WaitSettled(uint64_t qwRecords);

    CFeederLink& m_feeder;
    IBenchWiring& m_engine;
    std::string m_strDir;
    std::string m_strReader;
    CFloorLink* m_pFloor = nullptr;
    int32_t m_nRuns = 0;
    CRfCounters m_countersAtStart = {};
    CPcapPipeStats m_pipeAtStart = {};
    int64_t m_nWallAtStart = 0;
    int64_t m_nCpuAtStart[CPU_CLOCKS] = {};
};
