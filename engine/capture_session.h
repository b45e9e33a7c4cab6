// A capture without a window, for the headless command and Wireshark's extcap
// program: one port, one channel, records into a file, standard output or a
// FIFO. The capture engine does the work; the session turns the portable
// window loop (qm_wnd_loop) until the capture has ended and its port closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/capture_engine.h"

struct CSessionOptions {
    CCaptureTarget m_target;            // the port (or device node) and the channel
    std::string m_strOutput;            // path (ignored for Stdout)
    EPcapFileOpen m_eOutput = EPcapFileOpen::CreateNew;
    CCaptureLimits m_limits;
    uint32_t m_dwAckTimeoutMs = 0;      // 0: the controller's own (tests shorten it)
};

using CSessionStats = CCaptureStats;

// What the session tells its program, on the thread that called Run.
class ISessionReport {
public:
    virtual ~ISessionReport() = default;
    // One line for the user, without a line end ("Start ZigBee sniffing OK!").
    virtual void OnSessionLine(const std::string& strLine) = 0;
    // A few times a second while capturing.
    virtual void OnSessionProgress(const CSessionStats& stats) = 0;
};

class CCaptureSession {
public:
    CCaptureSession();
    ~CCaptureSession();
    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // Opens the output, opens the port, sets the channel and starts sniffing,
    // forwards frames until a stop, a limit or a failure; then sends the stop
    // command, closes the output as a valid pcap and waits for the port to close.
    ESessionEnd Run(const CSessionOptions& opts, ISessionReport& report);
    // Any thread, also before Run started (a stop is never lost).
    void RequestStop();
    CSessionStats GetStats() const;     // any thread
    // Why the output failed (AlreadyExists: CreateNew met a file); after Run.
    COsError GetOutputError() const;

private:
    class CRun;                         // the engine of one capture, alive during Run

    std::atomic<bool> m_bStopRequested;
    mutable std::mutex m_mtxRun;        // guards m_pRun, m_lastStats and m_errOutput
    CRun* m_pRun;
    CSessionStats m_lastStats;          // of the last run, once it ended
    COsError m_errOutput;
};
