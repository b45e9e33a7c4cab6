// The start sequence, the controller's reports, the stop with its guard and
// the endings of a capture.
#include "engine/capture_engine.h"

#include <algorithm>

#include "engine/capture_engine_ids.h"
#include "engine/capture_texts.h"
#include "engine/tuning_texts.h"
#include "link/flush_pacer.h"
#include "link/frame_protocol.h"
#include "serial/comm_api.h"

namespace {

// A long duration is waited out in pieces a timer can hold.
constexpr uint32_t DURATION_STEP_MAX_MS = 3600u * 1000u;
// The output's reader gets this part of the answer's wait to take what is
// still coming: a stalled one is then given up early enough for the stop
// command's answer to be cut in time.
constexpr uint32_t STOP_GRACE_PART = 4;

} // namespace

CCaptureEngine::CCaptureEngine(ICaptureEngineEvents& events)
    : m_events(events),
      m_pipeEvents(*this),
      m_wnd(*this),
      m_ePhase(ECapturePhase::Idle),
      m_eEnd(ESessionEnd::Stopped),
      m_bStopPending(false),
      m_bShutDown(false),
      m_eLinkType(EPcapLinkType::Ieee802154WithFcs),
      m_nPlanAt(0),
      m_dwSweepsDone(0),
      m_bSurvey(false),
      m_nChannel(0),
      m_nRetuneTo(0),
      m_dwResumeWaitMs(RESUME_WAIT_DEFAULT_MS),
      m_bResuming(false),
      m_dwGaps(0),
      m_qwAwayMs(0),
      m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS),
      m_dwReconnectTimeoutMs(PIPE_RECONNECT_TIMEOUT_MS),
      m_dwPipeGeneration(0),
      m_bToPipe(false),
      m_bOutputReported(false),
      m_bOutputRemoved(false),
      m_bOutputClosedWhole(true),
      m_countersAtStart(),
      m_pipeAtStart(),
      m_outputAtStart(),
      m_outputAtEnd(),
      m_forwarder(&m_recordSwitch)
{
    m_rfCtrl.SetDataSink(&m_forwarder);
    m_pcapPipe.SetEvents(&m_pipeEvents);
    // Records of wake-ups close together go out in one write where the
    // system's timed waits are fine enough to keep the bound.
    m_forwarder.SetFlushHoldUs(FlushHoldFor(CommWaitLatenessUs()));
}

CCaptureEngine::~CCaptureEngine()
{
    Shutdown();
    m_rfCtrl.SetDataSink(nullptr);
    m_wnd.DestroyWindow();
}

bool CCaptureEngine::Create()
{
    if (!m_wnd.IsWindow() && !m_wnd.CreateWnd(nullptr, ENGINE_WND_ID))
        return false;
    return m_rfCtrl.IsWindow() || m_rfCtrl.Create(this, IDC_RFCTRL);
}

void CCaptureEngine::SetAckTimeoutMs(uint32_t dwMs)
{
    m_rfCtrl.SetAckTimeoutMs(dwMs);
}

uint32_t CCaptureEngine::GetAckTimeoutMs() const
{
    return m_rfCtrl.GetAckTimeoutMs();
}

void CCaptureEngine::SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_dwConnectTimeoutMs = dwConnectMs;
    m_dwReconnectTimeoutMs = dwReconnectMs;
    m_pcapPipe.SetTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureEngine::SetPipeQueueBytes(uint32_t dwBytes)
{
    m_pcapPipe.SetQueueBytes(dwBytes);
}

void CCaptureEngine::Tell(const std::string& strLine)
{
    if (!strLine.empty())
        m_events.OnEngineLine(strLine);
}

// A Start while the last capture's stop answer is still awaited: that port
// closes now, before the new capture opens one.
void CCaptureEngine::SettlePreviousStop()
{
    m_bStopPending = false;
    m_rfCtrl.Shutdown();
}

void CCaptureEngine::TakeSnapshots(bool bToPipe)
{
    std::lock_guard<std::mutex> lock(m_mtxStart);
    m_bToPipe = bToPipe;
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_pipeAtStart = m_pcapPipe.GetStats();
    m_outputAtStart = m_output.GetStats();
}

bool CCaptureEngine::StartWithWireshark(const std::string& strProgram, const CCaptureTarget& target)
{
    if (IsRunning())
        return false;
    SettlePreviousStop();
    m_limits = CCaptureLimits();
    m_strProgram = strProgram;
    m_bOutputReported = false;
    BeginCapture(target, false);
    m_pcapPipe.SetLinkType(m_eLinkType);
    m_recordSwitch.SetTarget(&m_pcapPipe);
    TakeSnapshots(true);
    // Launches Wireshark and returns; the connection is reported later.
    if (m_pcapPipe.Open(strProgram.c_str()) != 1) {
        Tell(TEXT_OPEN_WIRESHARK_FAIL);
        TellPipeFailure();
        DisconnectPipe();
        return false;
    }
    m_ePhase = ECapturePhase::WaitReader;
    Tell(DescribeWaitForWireshark(m_pcapPipe.GetPipePath(), m_dwConnectTimeoutMs));
    return true;
}

bool CCaptureEngine::OpenOutput(const std::string& strPath, EPcapFileOpen eHow)
{
    if (IsRunning())
        return false;
    SettlePreviousStop();
    return m_output.Open(strPath, eHow);
}

void CCaptureEngine::AbortOutput()
{
    m_output.Abort();
}

COsError CCaptureEngine::GetOutputError() const
{
    return m_output.GetLastError();
}

bool CCaptureEngine::StartPort(const CCaptureTarget& target, const CCaptureLimits& limits)
{
    if (IsRunning())
        return false;
    m_limits = limits;
    m_bOutputReported = false;
    m_bOutputRemoved = false;
    BeginCapture(target, false);
    m_output.SetLimit(limits.m_qwMaxFrames, [this] { PostStop(ESessionEnd::LimitReached); });
    m_recordSwitch.SetTarget(&m_output);
    TakeSnapshots(false);
    return OpenPort();
}

// The port on the target, the set-channel command out; the handshakes are
// reported through WM_RF_STATUS.
bool CCaptureEngine::OpenPort()
{
    if (m_rfCtrl.StartCapture(m_target.m_nPort, m_nChannel, m_target.m_strDevice) != 0) {
        Tell(TEXT_OPEN_PORT_FAIL);
        TellPortFailure();
        FailStart(ESessionEnd::PortFailed);
        return false;
    }
    m_ePhase = ECapturePhase::Starting;
    m_wnd.SetTimer(PROGRESS_TIMER_ID, PROGRESS_MS);
    return true;
}

// Nothing was captured: the output goes without a summary, a new file of
// ours with it; the port closes.
void CCaptureEngine::FailStart(ESessionEnd eEnd)
{
    m_ePhase = ECapturePhase::Idle;
    m_eEnd = eEnd;
    EndOutput(false);
    if (!m_bToPipe && !m_bSurvey && m_bOutputRemoved)
        Tell(DescribeNoFileWritten(m_output.GetName()));
    m_events.OnEngineEnded(eEnd);
    m_wnd.PostWndMessage(WM_ENGINE_CLOSE_PORT, 0, 0);
}

LRESULT CCaptureEngine::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_RF_STATUS)
        OnRfStatus(static_cast<int32_t>(wParam), lParam != RF_STATUS_ACK);
    else if (nMsg == WM_RF_LINE_LOST)
        OnLineLost();
    return 0;
}

LRESULT CCaptureEngine::CEngineWnd::WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_ENGINE_PIPE_EVENT:
        m_engine.OnPipeEvent(static_cast<int32_t>(wParam), static_cast<uint32_t>(lParam));
        return 0;
    case WM_ENGINE_STOP:
        m_engine.Stop(static_cast<ESessionEnd>(wParam));
        return 0;
    case WM_ENGINE_CLOSE_PORT:
        m_engine.FinishPortClose();
        return 0;
    case WM_ENGINE_DROP_PORT:
        m_engine.DropPort();
        return 0;
    case WM_ENGINE_RETUNE:
        m_engine.Retune(static_cast<int32_t>(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == PROGRESS_TIMER_ID)
            m_engine.OnProgressTimer();
        else if (wParam == DURATION_TIMER_ID)
            m_engine.ArmDurationTimer();
        else if (wParam == DWELL_TIMER_ID)
            m_engine.OnDwellTimer();
        else if (wParam == RESUME_TIMER_ID)
            m_engine.OnResumeTimer();
        return 0;
    default:
        return CMsgWnd::WindowProc(nMsg, wParam, lParam);
    }
}

// nState: the state now (an answer), or the one whose answer did not come.
// Sent from inside the controller's handlers: a stop that follows is posted,
// so that the controller settles its own state first.
void CCaptureEngine::OnRfStatus(int32_t nState, bool bTimedOut)
{
    if (m_ePhase == ECapturePhase::Starting) {
        if (m_bResuming) {
            OnResumeStatus(bTimedOut);
            return;
        }
        if (bTimedOut) {
            Tell(TEXT_START_FAIL);
            Tell(DescribeAckTimeout(nState, m_rfCtrl.GetAckTimeoutMs()));
            PostStop(ESessionEnd::NoAnswer);
            return;
        }
        m_ePhase = ECapturePhase::Capturing;
        Tell(TEXT_START_OK);
        if (m_limits.m_dwMaxSeconds != 0) {
            m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_limits.m_dwMaxSeconds);
            ArmDurationTimer();
        }
        m_events.OnEngineSniffing();
        OnSniffing();
        return;
    }
    if (m_ePhase == ECapturePhase::Capturing && m_nRetuneTo != 0) {
        OnRetuneStatus(nState, bTimedOut);
        return;
    }
    if (!m_bStopPending)
        return;
    m_bStopPending = false;
    // A dongle that did not answer the start is not expected to answer the stop.
    if (bTimedOut && m_eEnd != ESessionEnd::NoAnswer)
        Tell(DescribeAckTimeout(nState, m_rfCtrl.GetAckTimeoutMs()));
    m_wnd.PostWndMessage(WM_ENGINE_CLOSE_PORT, 0, 0);
}

// The device went away: nobody would hear a stop command, so the port is
// closed at once (once the controller's handler is done with it). A capture
// that may wait for it keeps its output and looks for the port again.
void CCaptureEngine::OnLineLost()
{
    if (m_ePhase == ECapturePhase::Starting || m_ePhase == ECapturePhase::Capturing) {
        if (BeginResume())
            return;
        Tell(m_target.m_strDevice.empty() ? DescribeLineLost(m_target.m_nPort)
                                          : DescribeDeviceLost(m_target.m_strDevice));
        Stop(ESessionEnd::LineLost);
        return;
    }
    if (m_bStopPending) {
        m_bStopPending = false;
        m_wnd.PostWndMessage(WM_ENGINE_CLOSE_PORT, 0, 0);
    }
}

void CCaptureEngine::FinishPortClose()
{
    if (IsRunning() || m_bStopPending)
        return;   // a new capture runs on the port by now
    m_rfCtrl.Shutdown();
    m_events.OnEnginePortClosed();
}

// The owner shows the counters; a failed write (the disk is full) or a pipe
// reader that went away on a quiet line ends the capture.
void CCaptureEngine::OnProgressTimer()
{
    if (m_ePhase == ECapturePhase::Idle || m_ePhase == ECapturePhase::WaitReader)
        return;
    m_events.OnEngineProgress();
    if (!m_bToPipe && !m_bSurvey && m_output.CheckBroken()) {
        Tell(DescribeOutputWriteFailure(m_output.GetName(), m_output.GetLastError()));
        m_bOutputReported = true;
        Stop(ESessionEnd::OutputFailed);
    }
}

void CCaptureEngine::ArmDurationTimer()
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
        Stop(ESessionEnd::LimitReached);
        return;
    }
    m_wnd.SetTimer(DURATION_TIMER_ID,
        static_cast<uint32_t>(std::min<int64_t>(left, static_cast<int64_t>(DURATION_STEP_MAX_MS))));
}

void CCaptureEngine::PostStop(ESessionEnd eWhy)
{
    m_wnd.PostWndMessage(WM_ENGINE_STOP, static_cast<WPARAM>(eWhy), 0);
}

// The first reason to end wins. The stop command's answer closes the port;
// without one in time, that is told and the port closed all the same.
void CCaptureEngine::Stop(ESessionEnd eWhy)
{
    if (!IsRunning())
        return;
    const bool bPortUp = m_ePhase == ECapturePhase::Starting || m_ePhase == ECapturePhase::Capturing;
    m_ePhase = ECapturePhase::Idle;
    m_eEnd = eWhy;
    KillTimers();
    m_nRetuneTo = 0;
    m_bResuming = false;
    m_bStopPending = bPortUp && eWhy != ESessionEnd::LineLost && m_rfCtrl.StopCapture() == RF_CMD_LEN;
    const bool bFileCapture = !m_bToPipe;
    EndOutput(true);
    Tell(TEXT_STOP_OK);
    if (!m_bSurvey)
        TellSummary(bFileCapture);
    TellGaps();
    m_events.OnEngineEnded(m_eEnd);
    if (!m_bStopPending)
        m_wnd.PostWndMessage(WM_ENGINE_CLOSE_PORT, 0, 0);
}

void CCaptureEngine::Shutdown()
{
    if (m_bShutDown)
        return;
    m_bShutDown = true;
    KillTimers();
    if (m_ePhase == ECapturePhase::Starting || m_ePhase == ECapturePhase::Capturing)
        m_rfCtrl.StopCapture();
    // A reader thread held in a write by a stalled reader is let go in time.
    m_output.BeginEnd(StopGraceMs());
    m_rfCtrl.Shutdown();   // lets the stop command leave before the port closes
    m_ePhase = ECapturePhase::Idle;
    m_bStopPending = false;
    m_recordSwitch.SetTarget(nullptr);
    m_output.Close();
    DisconnectPipe();
}

uint32_t CCaptureEngine::StopGraceMs() const
{
    return m_rfCtrl.GetAckTimeoutMs() / STOP_GRACE_PART;
}

