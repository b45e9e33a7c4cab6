// A capture without a dialog, for the headless command and Wireshark's extcap
// program: one port, one channel, records into a file, standard output or a
// FIFO. The same controller, cutter and forwarder as the dialog; the session
// turns the portable window loop (qm_wnd_loop) until the capture ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "pcap/pcap_file.h"

// Why Run returned; the programs turn these into exit codes and messages.
enum class ESessionEnd : int32_t {
    Stopped = 0,      // RequestStop (Ctrl-C, SIGTERM, Wireshark ended the capture)
    LimitReached,     // the frame count or the duration was reached
    OutputFailed,     // the output could not be opened, or a write failed (reader gone, disk full)
    PortFailed,       // the port could not be opened (missing, in use, permission)
    NoAnswer,         // the dongle did not answer a command within the wait
    LineLost,         // the dongle went away during the capture
};

struct CSessionOptions {
    int32_t m_nPort = 0;                // COMn, 1..255
    std::string m_strDevice;            // a device node opened directly instead of COMn ("": COMn)
    int32_t m_nChannel = 11;            // 11..26
    std::string m_strOutput;            // path (ignored for Stdout)
    EPcapFileOpen m_eOutput = EPcapFileOpen::CreateNew;
    uint64_t m_qwMaxFrames = 0;         // 0: no limit
    uint32_t m_dwMaxSeconds = 0;        // 0: no limit
    uint32_t m_dwAckTimeoutMs = 0;      // 0: the controller's own (tests shorten it)
};

struct CSessionStats {
    uint64_t m_qwFrames = 0;            // records written whole
    uint64_t m_qwBytes = 0;             // frame bytes received (what the dialog's Rx shows)
    uint64_t m_qwLost = 0;              // frames lost: receive overflow gaps and dropped records
};

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
    // command, closes the port and closes the output as a valid pcap.
    ESessionEnd Run(const CSessionOptions& opts, ISessionReport& report);
    // Any thread, also before Run started (a stop is never lost).
    void RequestStop();
    CSessionStats GetStats() const;     // any thread
    // Why the output failed (AlreadyExists: CreateNew met a file); after Run.
    COsError GetOutputError() const;

private:
    class CRun;                         // the parts of one capture, alive during Run

    std::atomic<bool> m_bStopRequested;
    mutable std::mutex m_mtxRun;        // guards m_pRun and m_lastStats
    CRun* m_pRun;
    CSessionStats m_lastStats;          // of the last run, once it ended
    COsError m_errOutput;
};
