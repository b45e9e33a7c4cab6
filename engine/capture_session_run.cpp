#include "engine/capture_session_run.h"

#include <algorithm>
#include <cstdio>

#include "link/frame_protocol.h"
#include "link/msg_loop.h"
#include "serial/port_names.h"
#include "serial/uart_port.h"
#include "engine/capture_texts.h"
#include "engine/capture_texts.h"
#include "engine/capture_texts.h"

namespace {

constexpr uint32_t SESSION_WND_ID = 120;
constexpr uint32_t SESSION_RFCTRL_ID = 121;
// A long duration is waited out in pieces a timer can hold.
constexpr uint32_t DURATION_STEP_MAX_MS = 3600u * 1000u;
// The output's reader gets this part of the answer's wait to take what is
// still coming: a stalled one is then given up early enough for the stop
// command's answer to be cut in time.
constexpr uint32_t STOP_GRACE_PART = 4;

} // namespace

CLimitSink::CLimitSink(IPcapRecordSink& next, uint64_t qwMax, CMsgWnd& wnd)
    : m_next(next), m_wnd(wnd), m_qwMax(qwMax), m_qwTaken(0)
{
}

void CLimitSink::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    if (m_qwMax != 0 && m_qwTaken >= m_qwMax)
        return;   // past the limit: the capture is ending
    m_next.AddRecord(pData, nLen, tm);
    if (++m_qwTaken == m_qwMax)
        m_wnd.PostWndMessage(WM_SESSION_END, static_cast<WPARAM>(ESessionEnd::LimitReached), 0);
}

void CLimitSink::FlushRecords()
{
    m_next.FlushRecords();
}

void COutputGrace::Begin(uint32_t dwGraceMs)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bEnded || m_thread.joinable())
        return;
    m_thread = std::thread([this, dwGraceMs] {
        std::unique_lock<std::mutex> lockWait(m_mtx);
        if (!m_cv.wait_for(lockWait, std::chrono::milliseconds(dwGraceMs), [this] { return m_bEnded; }))
            m_file.Abort();
    });
}

void COutputGrace::End()
{
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bEnded = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

CCaptureSession::CRun::CRun(const CSessionOptions& opts, ISessionReport& report,
    const std::atomic<bool>& bStopRequested)
    : m_opts(opts),
      m_report(report),
      m_bStopRequested(bStopRequested),
      m_nPhase(PHASE_IDLE),
      m_eEnd(ESessionEnd::Stopped),
      m_bOutputReported(false),
      m_bOutputOpened(false),
      m_grace(m_file),
      m_wnd(*this),
      m_limit(m_file, opts.m_qwMaxFrames, m_wnd),
      m_forwarder(&m_limit)
{
}

CCaptureSession::CRun::~CRun()
{
    m_rfCtrl.Shutdown();
    m_rfCtrl.SetDataSink(nullptr);
    m_wnd.DestroyWindow();
}

ESessionEnd CCaptureSession::CRun::Execute()
{
    if (!OpenOutput())
        return m_eEnd;
    m_wnd.CreateWnd(nullptr, SESSION_WND_ID);
    m_rfCtrl.Create(this, SESSION_RFCTRL_ID);
    if (m_opts.m_dwAckTimeoutMs != 0)
        m_rfCtrl.SetAckTimeoutMs(m_opts.m_dwAckTimeoutMs);
    m_rfCtrl.SetDataSink(&m_forwarder);
    // A stop asked for before the window existed could not be posted.
    if (!m_bStopRequested.load() && StartPort())
        MsgLoopRun();
    // The stop command leaves (bounded wait) before the port closes; then no
    // reader thread writes into the output any more.
    m_grace.Begin(StopGraceMs());
    m_rfCtrl.Shutdown();
    m_rfCtrl.SetDataSink(nullptr);
    m_wnd.DestroyWindow();
    CloseOutput();
    m_grace.End();
    return m_eEnd;
}

void CCaptureSession::CRun::PostEnd(ESessionEnd eEnd)
{
    m_wnd.PostWndMessage(WM_SESSION_END, static_cast<WPARAM>(eEnd), 0);
}

// While the output waits for a FIFO's reader, nothing else has started: the
// wait ends at once. Once open, the capture ends the usual way.
void CCaptureSession::CRun::RequestStop()
{
    if (!m_bOutputOpened.load())
        m_file.Abort();
    PostEnd(ESessionEnd::Stopped);
}

CSessionStats CCaptureSession::CRun::GetStats() const
{
    const CRfCounters counters = m_rfCtrl.GetCounters();
    const CPcapFileStats file = m_file.GetStats();
    CSessionStats stats;
    stats.m_qwFrames = file.m_qwRecordsWritten;
    stats.m_qwBytes = counters.m_qwDataBytes;
    // A receive overflow costs at least the frame it cut into.
    stats.m_qwLost = counters.m_qwGaps + file.m_qwRecordsDropped;
    return stats;
}

bool CCaptureSession::CRun::OpenOutput()
{
    const bool bOpened = m_file.Open(m_opts.m_strOutput, m_opts.m_eOutput);
    m_bOutputOpened.store(true);
    if (bOpened)
        return true;
    if (m_bStopRequested.load()) {
        m_eEnd = ESessionEnd::Stopped;   // no reader came before the stop
        return false;
    }
    m_eEnd = ESessionEnd::OutputFailed;
    m_errOutput = m_file.GetLastError();
    m_report.OnSessionLine(DescribeOutputOpenFailure(OutputName(), m_errOutput));
    return false;
}

bool CCaptureSession::CRun::StartPort()
{
    const bool bDirect = !m_opts.m_strDevice.empty();
    if (m_rfCtrl.StartCapture(m_opts.m_nPort, m_opts.m_nChannel, m_opts.m_strDevice) == 0) {
        m_nPhase = PHASE_STARTING;
        return true;
    }
    m_eEnd = ESessionEnd::PortFailed;
    m_report.OnSessionLine("Open UART Port FAIL!");
    const CUartPort* pPort = m_rfCtrl.GetPort();
    const COsError err = pPort != nullptr ? pPort->GetLastOpenError() : COsError();
    const bool bOpen = pPort != nullptr && pPort->IsOpen();
    if (bDirect) {
        m_report.OnSessionLine(bOpen ? m_opts.m_strDevice + " opened but did not take the set-channel command"
                                     : DescribeDeviceFailure(m_opts.m_strDevice, err));
    } else {
        m_report.OnSessionLine(DescribePortFailure(m_opts.m_nPort, bOpen, err,
            pPort != nullptr ? pPort->GetDevicePath() : "", ResolveComPort(m_opts.m_nPort).c_str(),
            PortLinksApply() ? GetPortsDirectory() : ""));
    }
    return false;
}

LRESULT CCaptureSession::CRun::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_RF_STATUS)
        OnRfStatus(static_cast<int32_t>(wParam), lParam != RF_STATUS_ACK);
    else if (nMsg == WM_RF_LINE_LOST)
        OnLineLost();
    return 0;
}

LRESULT CCaptureSession::CRun::CSessionWnd::WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_SESSION_END:
        m_run.BeginStop(static_cast<ESessionEnd>(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == SESSION_PROGRESS_TIMER_ID)
            m_run.OnProgressTimer();
        else if (wParam == SESSION_DURATION_TIMER_ID)
            m_run.ArmDurationTimer();
        return 0;
    default:
        return CMsgWnd::WindowProc(nMsg, wParam, lParam);
    }
}

// nState: the state now (an answer), or the one whose answer did not come.
void CCaptureSession::CRun::OnRfStatus(int32_t nState, bool bTimedOut)
{
    if (m_nPhase == PHASE_STARTING) {
        if (!bTimedOut) {
            OnSniffing();
            return;
        }
        m_report.OnSessionLine("Start ZigBee sniffing FAIL!");
        m_report.OnSessionLine(DescribeAckTimeout(nState, m_rfCtrl.GetAckTimeoutMs()));
        // The controller settles its state once this returns; the stop
        // command goes out after that.
        PostEnd(ESessionEnd::NoAnswer);
        return;
    }
    if (m_nPhase != PHASE_STOPPING)
        return;
    if (!bTimedOut)
        m_report.OnSessionLine("Stop ZigBee sniffing OK!");
    else if (m_eEnd != ESessionEnd::NoAnswer)
        m_report.OnSessionLine(DescribeAckTimeout(nState, m_rfCtrl.GetAckTimeoutMs()));
    Finish();
}

void CCaptureSession::CRun::OnSniffing()
{
    m_nPhase = PHASE_CAPTURING;
    m_report.OnSessionLine("Start ZigBee sniffing OK!");
    m_wnd.SetTimer(SESSION_PROGRESS_TIMER_ID, SESSION_PROGRESS_MS);
    if (m_opts.m_dwMaxSeconds != 0) {
        m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_opts.m_dwMaxSeconds);
        ArmDurationTimer();
    }
}

// The device went away: nobody would hear a stop command.
void CCaptureSession::CRun::OnLineLost()
{
    if (m_nPhase == PHASE_IDLE)
        return;
    const int32_t nPort = m_opts.m_nPort;
    m_report.OnSessionLine(nPort != 0 ? DescribeLineLost(nPort)
                                      : "The sniffing device " + m_opts.m_strDevice + " went away: the capture ends");
    m_eEnd = ESessionEnd::LineLost;
    Finish();
}

void CCaptureSession::CRun::OnProgressTimer()
{
    if (m_nPhase != PHASE_CAPTURING)
        return;
    m_report.OnSessionProgress(GetStats());
    if (m_file.CheckReaderGone()) {
        m_errOutput = m_file.GetLastError();
        m_report.OnSessionLine(DescribeOutputWriteFailure(OutputName(), m_errOutput));
        m_bOutputReported = true;
        BeginStop(ESessionEnd::OutputFailed);
    } else if (m_bStopRequested.load()) {
        BeginStop(ESessionEnd::Stopped);   // in case its post was dropped
    }
}

void CCaptureSession::CRun::ArmDurationTimer()
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
        BeginStop(ESessionEnd::LimitReached);
        return;
    }
    m_wnd.SetTimer(SESSION_DURATION_TIMER_ID,
        static_cast<uint32_t>(std::min<int64_t>(left, static_cast<int64_t>(DURATION_STEP_MAX_MS))));
}

// The first reason to end wins; the stop command's answer ends the loop.
void CCaptureSession::CRun::BeginStop(ESessionEnd eEnd)
{
    if (m_nPhase != PHASE_STARTING && m_nPhase != PHASE_CAPTURING)
        return;
    m_eEnd = eEnd;
    m_wnd.KillTimer(SESSION_PROGRESS_TIMER_ID);
    m_wnd.KillTimer(SESSION_DURATION_TIMER_ID);
    if (m_rfCtrl.StopCapture() == RF_CMD_LEN) {
        m_nPhase = PHASE_STOPPING;
        m_grace.Begin(StopGraceMs());
        return;
    }
    Finish();
}

void CCaptureSession::CRun::Finish()
{
    m_nPhase = PHASE_IDLE;
    m_wnd.KillTimer(SESSION_PROGRESS_TIMER_ID);
    m_wnd.KillTimer(SESSION_DURATION_TIMER_ID);
    MsgLoopQuit();
}

// Whatever ends the capture, the file ends as a valid pcap; a write that
// failed makes an otherwise normal end a failed output.
void CCaptureSession::CRun::CloseOutput()
{
    const bool bClosed = m_file.Close();
    // A file of ours that never got to hold a capture would only stand in the
    // way of the next try (a new file is never overwritten).
    if ((m_eEnd == ESessionEnd::PortFailed || m_eEnd == ESessionEnd::NoAnswer)
        && m_opts.m_eOutput == EPcapFileOpen::CreateNew && m_file.GetStats().m_qwRecordsWritten == 0) {
        std::remove(m_opts.m_strOutput.c_str());
        return;
    }
    if (bClosed || m_bOutputReported)
        return;
    m_errOutput = m_file.GetLastError();
    m_report.OnSessionLine(DescribeOutputWriteFailure(OutputName(), m_errOutput));
    if (m_eEnd == ESessionEnd::Stopped || m_eEnd == ESessionEnd::LimitReached)
        m_eEnd = ESessionEnd::OutputFailed;
}

uint32_t CCaptureSession::CRun::StopGraceMs() const
{
    return m_rfCtrl.GetAckTimeoutMs() / STOP_GRACE_PART;
}

std::string CCaptureSession::CRun::OutputName() const
{
    return DescribeOutputName(m_opts.m_strOutput, m_opts.m_eOutput);
}
