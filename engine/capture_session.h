// A capture without a window, for the headless command and Wireshark's extcap
// program: one port, one channel (or hopping round a list, or retuned while
// it runs), records into a file, standard output or a FIFO; or a survey of
// channels that writes nothing. The capture engine does the work; the session turns the portable
// window loop (qm_wnd_loop) until the capture has ended and its port closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/capture_engine.h"

constexpr uint32_t SESSION_FLUSH_HOLD_SYSTEM = UINT32_MAX;

struct CSessionOptions {
    CCaptureTarget m_target;            // the port (or device node) and the channel
    std::string m_strOutput;            // path (ignored for Stdout)
    EPcapFileOpen m_eOutput = EPcapFileOpen::CreateNew;
    CCaptureLimits m_limits;
    uint32_t m_dwAckTimeoutMs = 0;      // 0: the controller's own (tests shorten it)
    EPcapLinkType m_eLinkType = EPcapLinkType::Ieee802154WithFcs;
    // More than one channel: a hopping capture (or, with m_bSurvey, the
    // channels surveyed, any number of them).
    CChannelPlan m_plan;
    bool m_bSurvey = false;             // count frames per channel, write nothing
    uint32_t m_dwResumeWaitMs = RESUME_WAIT_DEFAULT_MS;   // 0: a dongle that goes away ends it
    // How long records may wait to share a write (SESSION_FLUSH_HOLD_SYSTEM:
    // the engine's own; tests lengthen it).
    uint32_t m_dwFlushHoldUs = SESSION_FLUSH_HOLD_SYSTEM;
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
    // The dongle sniffs on nChannel now: after the start, a retune, a hop.
    virtual void OnSessionChannel(int32_t /*nChannel*/) {}
    // A survey's dwell on a channel is over; ch holds its counts so far.
    virtual void OnSessionDwellDone(const CSurveyChannel& /*ch*/) {}
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
    // Any thread, while Run runs: the capture moves to nChannel (see
    // CCaptureEngine::Retune); OnSessionChannel tells when it is there. False
    // when no capture runs.
    bool RequestRetune(int32_t nChannel);
    // A survey's counts, channels 11..26 in order (during and after Run).
    std::vector<CSurveyChannel> GetSurvey() const;
    CSessionStats GetStats() const;     // any thread
    // Why the output failed (AlreadyExists: CreateNew met a file); after Run.
    COsError GetOutputError() const;

private:
    class CRun;                         // the engine of one capture, alive during Run

    std::atomic<bool> m_bStopRequested;
    mutable std::mutex m_mtxRun;        // guards m_pRun, m_lastStats and m_errOutput
    CRun* m_pRun;
    CSessionStats m_lastStats;          // of the last run, once it ended
    std::vector<CSurveyChannel> m_vecLastSurvey;
    COsError m_errOutput;
};
