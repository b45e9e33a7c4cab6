// Start and Stop, and the controller's reports: the handshake's outcome and
// the device going away.
#include "shell/capture_dlg.h"

#include "pcap/launch.h"
#include "serial/port_names.h"
#include "serial/uart_port.h"
#include "shell/activity_log.h"
#include "shell/capture_report.h"
#include "base/settings.h"
#include "shell/start_diag.h"

#include <QComboBox>
#include <QFile>
#include <QPushButton>

void CCaptureDlg::OnStart()
{
    if (m_nCapturePhase != CAPTURE_IDLE)
        return;   // Start is disabled then; a stray call changes nothing
    if (m_comboDevice->currentIndex() < 0) {
        LogPrintf("No found sniffing device!\n");
        return;
    }
    QByteArray byPath;
    if (!TakeWiresharkPath(byPath))
        return;
    if (!ProgramExists(byPath.constData())) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribeMissingProgram(byPath.constData()).c_str());
        return;
    }
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_statsAtStart = m_pcapPipe.GetStats();
    // Launches Wireshark and returns; the connection is reported later.
    m_byLaunchPath = byPath;
    if (m_pcapPipe.Open(byPath.constData()) != 1) {
        LogPrintf("Open Wireshark fail!\n");
        LogPipeOpenFailure(byPath.constData());
        DisconnectPipe();
        return;
    }
    m_nCapturePhase = CAPTURE_WAIT_WIRESHARK;
    m_btnStart->setEnabled(false);
    m_btnStop->setEnabled(true);
    LogPrintf("%s\n", DescribeWaitForWireshark(m_pcapPipe.GetPipePath(), m_dwConnectTimeoutMs).c_str());
}

// The path box's text is the path. Changed by the user, it is saved first
// (an empty box is not: it means nothing chosen); a path the setting cannot
// hold whole is refused rather than cut.
bool CCaptureDlg::TakeWiresharkPath(QByteArray& byPath)
{
    if (m_nStoredPathCutLen != 0) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribeStoredPathTooLong(m_nStoredPathCutLen, GetSettingsPath()).c_str());
        return false;
    }
    UpdateData(true);
    byPath = QFile::encodeName(m_strWiresharkPath);
    if (byPath.size() >= SETTINGS_VALUE_SIZE) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribePathTooLong(static_cast<size_t>(byPath.size())).c_str());
        return false;
    }
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szStored);
    if (!byPath.isEmpty() && byPath != QByteArray(szStored)
        && WriteSettingString(SETTINGS_INDEX, "Wireshark", byPath.constData()) != 1)
        LogWriteFailure("Wireshark");   // used all the same
    return true;
}

// Wireshark is reading: now the dongle is set up.
void CCaptureDlg::OnWiresharkConnected()
{
    // The port and channel stored when they were chosen.
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", 11);
    if (m_rfCtrl.StartCapture(nPort, nChannel) != 0) {
        EndCapture();
        LogPrintf("Open UART Port FAIL!\n");
        LogPortOpenFailure();
        return;
    }
    m_nCapturePhase = CAPTURE_RUNNING;
    m_bCapturing = 1;
    m_timerRx.start();
}

void CCaptureDlg::OnWiresharkConnectFailed()
{
    EndCapture();
    LogPrintf("Open Wireshark fail!\n");
    LogPipeOpenFailure(m_byLaunchPath.constData());
}

void CCaptureDlg::OnStop()
{
    EndCapture();
    LogPrintf("Stop ZigBee sniffing OK!\n");
    LogCaptureSummary();
}

// The stop command goes out (when a port is open), Wireshark's client is cut
// off at once, the buttons are as before Start.
void CCaptureDlg::EndCapture()
{
    const bool bPortOpen = m_nCapturePhase == CAPTURE_RUNNING;
    m_bCapturing = 0;
    m_nCapturePhase = CAPTURE_IDLE;
    if (bPortOpen)
        m_rfCtrl.StopCapture();
    DisconnectPipe();
    m_timerRx.stop();
    OnRxTimer();
    m_btnStart->setEnabled(true);
    m_btnStop->setEnabled(false);
}

void CCaptureDlg::DisconnectPipe()
{
    m_pcapPipe.Disconnect();
    m_dwPipeGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void CCaptureDlg::LogCaptureSummary()
{
    LogPrintf("%s\n", DescribeCaptureSummary(m_countersAtStart, m_rfCtrl.GetCounters(), m_statsAtStart,
        m_pcapPipe.GetStats()).c_str());
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_statsAtStart = m_pcapPipe.GetStats();
}

// wParam: the state whose acknowledgement did not come (time-outs only).
LRESULT CCaptureDlg::OnRfStatus(WPARAM wParam, LPARAM lParam)
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
LRESULT CCaptureDlg::OnRfLineLost(WPARAM /*wParam*/, LPARAM /*lParam*/)
{
    if (m_nCapturePhase != CAPTURE_RUNNING)
        return 0;
    LogPrintf("%s\n", DescribeLineLost(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1)).c_str());
    m_nCapturePhase = CAPTURE_IDLE;   // no stop command: nobody would hear it
    OnStop();
    // Sent from inside the controller's handler: the port is closed once
    // that handler is done with it.
    QMetaObject::invokeMethod(this, [this] {
        if (m_nCapturePhase == CAPTURE_IDLE)
            m_rfCtrl.Shutdown();
    }, Qt::QueuedConnection);
    return 0;
}

void CCaptureDlg::LogPortOpenFailure()
{
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const CUartPort* pPort = m_rfCtrl.GetPort();
    std::string strReason = DescribePortFailure(nPort,
        pPort != nullptr && pPort->IsOpen(),
        pPort != nullptr ? pPort->GetLastOpenError() : 0,
        pPort != nullptr ? pPort->GetDevicePath() : "",
        ResolveComPort(nPort).c_str(),
        GetPortsDirectory());
    LogPrintf("%s\n", strReason.c_str());
}

void CCaptureDlg::LogPipeOpenFailure(const char* pszPath)
{
    std::string strReason = DescribePipeFailure(pszPath, m_pcapPipe.GetLastOpenFailure(),
        m_pcapPipe.GetLastLaunchError(), m_pcapPipe.GetLastPipeError(), m_pcapPipe.GetPipePath(),
        m_dwConnectTimeoutMs);
    LogPrintf("%s\n", strReason.c_str());
}
