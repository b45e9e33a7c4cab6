// Start and Stop, the pipe link's events, the Rx text, and the controller's
// reports: the handshake's outcome and the device going away.
#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "pcap/launch.h"
#include "serial/port_names.h"
#include "serial/uart_port.h"
#include "shell/model/activity_log.h"
#include "engine/capture_texts.h"
#include "engine/channels.h"
#include "shell/model/dlg_ids.h"
#include "engine/capture_texts.h"

void CCaptureModel::OnStart()
{
    if (m_nCapturePhase != CAPTURE_IDLE)
        return;   // Start is disabled then; a stray call changes nothing
    if (m_nDeviceSel < 0) {
        LogPrintf("No found sniffing device!\n");
        return;
    }
    if (m_eMode == ECaptureMode::PcapFile) {
        StartFileCapture();
        return;
    }
    std::string strPath;
    if (!TakeWiresharkPath(strPath))
        return;
    if (!ProgramExists(strPath.c_str())) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribeMissingProgram(strPath.c_str()).c_str());
        return;
    }
    m_eCaptureMode = ECaptureMode::Wireshark;
    m_recordSwitch.SetTarget(&m_pcapPipe);
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_statsAtStart = m_pcapPipe.GetStats();
    // Launches Wireshark and returns; the connection is reported later.
    m_strLaunchPath = strPath;
    if (m_pcapPipe.Open(strPath.c_str()) != 1) {
        LogPrintf("Open Wireshark fail!\n");
        LogPipeOpenFailure(strPath.c_str());
        DisconnectPipe();
        return;
    }
    m_nCapturePhase = CAPTURE_WAIT_WIRESHARK;
    SetRunning(true);
    LogPrintf("%s\n", DescribeWaitForWireshark(m_pcapPipe.GetPipePath(), m_dwConnectTimeoutMs).c_str());
}

// The path the user typed or chose. Changed, it is saved first (an empty
// path is not: it means nothing chosen); a path the setting cannot hold whole
// is refused rather than cut.
bool CCaptureModel::TakeWiresharkPath(std::string& strPath)
{
    if (m_nStoredPathCutLen != 0) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribeStoredPathTooLong(m_nStoredPathCutLen, GetSettingsPath()).c_str());
        return false;
    }
    strPath = m_strPath;
    if (strPath.size() >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribePathTooLong(strPath.size()).c_str());
        return false;
    }
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szStored);
    if (!strPath.empty() && strPath != szStored
        && WriteSettingString(SETTINGS_INDEX, "Wireshark", strPath.c_str()) != 1)
        LogWriteFailure("Wireshark");   // used all the same
    return true;
}

// Wireshark is reading: now the dongle is set up on the stored port and channel.
void CCaptureModel::OnWiresharkConnected()
{
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", CHANNEL_FIRST);
    if (m_rfCtrl.StartCapture(nPort, nChannel) != 0) {
        EndCapture();
        LogPrintf("Open UART Port FAIL!\n");
        LogPortOpenFailure();
        return;
    }
    m_nCapturePhase = CAPTURE_RUNNING;
    m_bCapturing = 1;
    m_wnd.SetTimer(MODEL_RX_TIMER_ID, RX_LABEL_REFRESH_MS);
}

void CCaptureModel::OnWiresharkConnectFailed()
{
    EndCapture();
    LogPrintf("Open Wireshark fail!\n");
    LogPipeOpenFailure(m_strLaunchPath.c_str());
}

void CCaptureModel::OnStop()
{
    EndCapture();
    LogPrintf("Stop ZigBee sniffing OK!\n");
    LogCaptureSummary();
}

// The stop command goes out (when a port is open), Wireshark's client is cut
// off at once (or the file closed), the buttons are as before Start.
void CCaptureModel::EndCapture()
{
    const bool bPortOpen = m_nCapturePhase == CAPTURE_RUNNING;
    m_bCapturing = 0;
    m_nCapturePhase = CAPTURE_IDLE;
    if (bPortOpen)
        m_rfCtrl.StopCapture();
    DisconnectPipe();
    if (m_eCaptureMode == ECaptureMode::PcapFile)
        EndFileCapture();
    m_wnd.KillTimer(MODEL_RX_TIMER_ID);
    OnRxTimer();
    SetRunning(false);
}

void CCaptureModel::DisconnectPipe()
{
    m_pcapPipe.Disconnect();
    m_dwPipeGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void CCaptureModel::LogCaptureSummary()
{
    if (m_eCaptureMode == ECaptureMode::PcapFile) {
        LogFileSummary();
        return;
    }
    LogPrintf("%s\n", DescribeCaptureSummary(m_countersAtStart, m_rfCtrl.GetCounters(), m_statsAtStart,
        m_pcapPipe.GetStats()).c_str());
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_statsAtStart = m_pcapPipe.GetStats();
}

// wParam: the state whose acknowledgement did not come (time-outs only).
LRESULT CCaptureModel::OnRfStatus(WPARAM wParam, LPARAM lParam)
{
    if (lParam != 0) {
        if (m_bCapturing == 1) {
            m_bCapturing = 0;
            LogPrintf("Start ZigBee sniffing FAIL!\n");
            LogPrintf("%s\n", DescribeAckTimeout(static_cast<int32_t>(wParam), m_dwAckTimeoutMs).c_str());
            OnStop();
        }
    } else if (m_bCapturing == 1) {
        LogPrintf("Start ZigBee sniffing OK!\n");
    }
    return 0;
}

// The device went away: the capture ends as Stop ends it, except that no
// stop command can reach the dongle, so the port is closed at once.
LRESULT CCaptureModel::OnRfLineLost()
{
    if (m_nCapturePhase != CAPTURE_RUNNING)
        return 0;
    LogPrintf("%s\n", DescribeLineLost(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1)).c_str());
    m_nCapturePhase = CAPTURE_IDLE;   // no stop command: nobody would hear it
    OnStop();
    m_wnd.PostWndMessage(WM_MODEL_CLOSE_PORT, 0, 0);
    return 0;
}

void CCaptureModel::LogPortOpenFailure()
{
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const CUartPort* pPort = m_rfCtrl.GetPort();
    const COsError errNone;
    std::string strReason = DescribePortFailure(nPort,
        pPort != nullptr && pPort->IsOpen(),
        pPort != nullptr ? pPort->GetLastOpenError() : errNone,
        pPort != nullptr ? pPort->GetDevicePath() : "",
        ResolveComPort(nPort).c_str(),
        PortLinksApply() ? GetPortsDirectory() : "");
    LogPrintf("%s\n", strReason.c_str());
}

void CCaptureModel::LogPipeOpenFailure(const char* pszPath)
{
    std::string strReason = DescribePipeFailure(pszPath, m_pcapPipe.GetLastOpenFailure(),
        m_pcapPipe.GetLastLaunchError(), m_pcapPipe.GetLastPipeError(), m_pcapPipe.GetPipePath(),
        m_dwConnectTimeoutMs);
    LogPrintf("%s\n", strReason.c_str());
}

// Pipe writer thread: nothing here may touch the model or call back into the
// pipe link. The event is posted to the window thread; when the model's
// window is gone first, the post is dropped with the window.
void CCaptureModel::CPipeEventRelay::OnPipeEvent(int32_t nEvent)
{
    const uint32_t dwGeneration = m_model.m_dwPipeGeneration.load(std::memory_order_acquire);
    m_model.m_wnd.PostWndMessage(WM_MODEL_PIPE_EVENT, static_cast<WPARAM>(nEvent), static_cast<LPARAM>(dwGeneration));
}

void CCaptureModel::OnPipeEvent(int32_t nEvent, uint32_t dwGeneration)
{
    // An event of a pipe client that Stop has already cut off tells nothing.
    if (dwGeneration != m_dwPipeGeneration.load(std::memory_order_acquire) || m_nCapturePhase == CAPTURE_IDLE)
        return;
    switch (nEvent) {
    case PIPE_EVENT_CONNECTED:
        if (m_nCapturePhase == CAPTURE_WAIT_WIRESHARK)
            OnWiresharkConnected();
        break;
    case PIPE_EVENT_CONNECT_FAILED:
        if (m_nCapturePhase == CAPTURE_WAIT_WIRESHARK)
            OnWiresharkConnectFailed();
        break;
    case PIPE_EVENT_CLIENT_GONE:
    case PIPE_EVENT_CLIENT_BACK:
    case PIPE_EVENT_RECONNECT_GAVE_UP:
        LogPrintf("%s\n", DescribePipeEvent(nEvent, m_dwReconnectTimeoutMs).c_str());
        break;
    default:
        break;
    }
}

void CCaptureModel::OnRxTimer()
{
    RefreshRxLabel(m_rfCtrl.GetCounters().m_qwDataBytes);
    CheckFileWrites();
}

void CCaptureModel::RefreshRxLabel(uint64_t qwDataBytes)
{
    const int64_t nBytes = static_cast<int64_t>(qwDataBytes);
    if (nBytes == m_nRxBytes)
        return;   // blank until the first frame, then changes only with the count
    m_nRxBytes = nBytes;
    m_strRxCount = "Rx : " + std::to_string(qwDataBytes);
    ShowPathAndRx();
}
