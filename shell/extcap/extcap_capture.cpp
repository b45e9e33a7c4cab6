#include "shell/extcap/extcap_capture.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "engine/capture_settings.h"
#include "engine/channels.h"
#include "engine/stop_signals.h"
#include "shell/extcap/extcap_control.h"
#include "shell/extcap/extcap_text.h"

namespace {

// Keeps what the session says, shown on stderr only when the capture fails;
// the toolbar gets the lines for its log and every channel the dongle is on.
class CExtcapReport : public ISessionReport {
public:
    explicit CExtcapReport(CExtcapControl& control) : m_control(control) {}

    void OnSessionLine(const std::string& strLine) override
    {
        m_strLines += strLine + "\n";
        m_control.OnLine(strLine);
    }
    void OnSessionProgress(const CSessionStats&) override {}
    void OnSessionChannel(int32_t nChannel) override { m_control.OnChannel(nChannel); }
    const std::string& GetLines() const { return m_strLines; }

private:
    CExtcapControl& m_control;
    std::string m_strLines;
};

CSessionOptions MakeSessionOptions(const CExtcapArgs& args, int32_t nPort)
{
    CSessionOptions opts;
    opts.m_target.m_nPort = nPort;
    opts.m_target.m_nChannel = args.m_nChannel != 0 ? args.m_nChannel : ReadStoredChannel();
    opts.m_strOutput = args.m_strFifo;
    opts.m_eOutput = EPcapFileOpen::Existing;
    if (args.Hops()) {
        opts.m_plan.m_vecChannels = args.m_vecHop;
        opts.m_plan.m_dwDwellMs = args.m_dwDwellMs;
    }
    if (args.m_bTap || args.Hops())
        opts.m_eLinkType = EPcapLinkType::Ieee802154Tap;
    return opts;
}

// Passes a stop signal to the session once there is one (the signals are
// watched before any thread starts, the session is made after that), and
// makes sure that a stop ends the program: a session still opening the FIFO
// (waiting for a reader that never comes, since Wireshark gave up) cannot see
// the request, so the program leaves when the session has not ended within
// the stop wait. By then the dongle had its stop command if its port was open.
class CStopRelay {
public:
    explicit CStopRelay(uint32_t dwStopWaitMs) : m_dwStopWaitMs(dwStopWaitMs) {}

    void OnStop()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopped = true;
        if (m_pSession != nullptr)
            m_pSession->RequestStop();
        m_cv.notify_all();
    }
    void Attach(CCaptureSession* pSession)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pSession = pSession;
        if (m_pSession != nullptr && m_bStopped)
            m_pSession->RequestStop();
    }
    void OnSessionEnded()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEnded = true;
        m_cv.notify_all();
    }
    // The watchdog thread's body.
    void WatchStop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_bStopped || m_bEnded; });
        if (m_cv.wait_for(lock, std::chrono::milliseconds(m_dwStopWaitMs), [this] { return m_bEnded; }))
            return;
        // Asked to stop and stuck: Wireshark wanted the capture over, so
        // this is a normal end, and nothing is left to close.
        std::_Exit(0);
    }

private:
    const uint32_t m_dwStopWaitMs;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    CCaptureSession* m_pSession = nullptr;
    bool m_bStopped = false;
    bool m_bEnded = false;
};

} // namespace

int32_t ExtcapCaptureResult(ESessionEnd eEnd, const CSessionStats& stats, EOsError eOutputError,
    int32_t nPort, const std::string& strSessionLines, std::string& strErr)
{
    const std::string strPort = "COM" + std::to_string(nPort);
    switch (eEnd) {
    case ESessionEnd::Stopped:
    case ESessionEnd::LimitReached:
        return 0;
    case ESessionEnd::OutputFailed:
        // Wireshark stopped reading: its way of ending a capture when no
        // signal came first. A pipe that could not be opened is a failure.
        if (stats.m_qwFrames > 0 || eOutputError == EOsError::Gone)
            return 0;
        strErr += "Cannot write the capture into Wireshark's pipe.\n";
        break;
    case ESessionEnd::PortFailed:
        strErr += "Cannot open " + strPort + " (missing, in use by another program, or no permission).\n";
        break;
    case ESessionEnd::NoAnswer:
        strErr += "The dongle on " + strPort + " did not answer.\n";
        break;
    case ESessionEnd::LineLost:
        strErr += "The dongle on " + strPort + " went away during the capture.\n";
        break;
    }
    strErr += strSessionLines;
    return 1;
}

namespace {

int32_t CaptureExit(const CExtcapArgs& args, ESessionEnd eEnd, const CSessionStats& stats, EOsError eOutputError,
    int32_t nPort, const std::string& strSessionLines, std::string& strErr)
{
    // A --fifo that is no FIFO (a regular file, say) was refused untouched:
    // one line for Wireshark to show, and a failure.
    if (eEnd == ESessionEnd::OutputFailed && eOutputError == EOsError::WrongKind) {
        strErr += "--fifo " + args.m_strFifo
            + " is not a FIFO: Wireshark hands the extcap a FIFO; nothing was written\n";
        return 1;
    }
    return ExtcapCaptureResult(eEnd, stats, eOutputError, nPort, strSessionLines, strErr);
}

} // namespace

int32_t RunExtcapCapture(const CExtcapArgs& args, std::string& strErr)
{
    const int32_t nPort = PortFromExtcapInterface(args.m_strInterface);
    if (nPort == 0) {
        strErr += "Not a Quillmark interface: \"" + args.m_strInterface + "\"\n";
        return 1;
    }
    if (args.m_strFifo.empty()) {
        strErr += "--capture needs --fifo PATH\n";
        return 1;
    }
    const CSessionOptions opts = MakeSessionOptions(args, nPort);

    CStopRelay relay(args.m_dwStopWaitMs);
    CStopSignals signals;
    if (!signals.Watch([&relay](int32_t) { relay.OnStop(); })) {
        strErr += "Cannot watch for the stop signals.\n";
        return 1;
    }
    std::thread watchdog([&relay] { relay.WatchStop(); });
    ESessionEnd eEnd;
    CSessionStats stats;
    EOsError eOutputError = EOsError::None;
    int32_t nExit = 0;
    {
        CCaptureSession session;
        // Made after the session and gone before it: its thread asks the
        // session for retunes.
        CExtcapControl control(CreateControlPipes(), args.m_strControlIn, args.m_strControlOut,
            opts.m_target.m_nChannel, opts.m_plan.Hops(),
            [&session](int32_t nChannel) { return session.RequestRetune(nChannel); });
        control.Start();
        CExtcapReport report(control);
        relay.Attach(&session);
        eEnd = session.Run(opts, report);
        stats = session.GetStats();
        eOutputError = session.GetOutputError().m_eKind;
        relay.Attach(nullptr);
        nExit = CaptureExit(args, eEnd, stats, eOutputError, nPort, report.GetLines(), strErr);
        // Wireshark shows the reason in its toolbar too (and our stderr).
        if (nExit != 0)
            control.OnFailed(strErr);
        control.Stop();
    }
    relay.OnSessionEnded();
    watchdog.join();
    return nExit;
}
