// Start, Stop, the controller's status reports and the forwarding of every
// received data frame to Wireshark.
#include "shell/capture_dlg.h"

#include "link/frame_protocol.h"
#include "pcap/launch.h"
#include "serial/port_names.h"
#include "serial/uart_port.h"
#include "shell/activity_log.h"
#include "shell/settings.h"
#include "shell/start_diag.h"

#include <QComboBox>
#include <QPushButton>

void CCaptureDlg::OnStart()
{
    if (m_comboDevice->currentIndex() < 0) {
        LogPrintf("No found sniffing device!\n");
        return;
    }
    // The stored path, not the path box.
    char szPath[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szPath);
    if (!ProgramExists(szPath)) {
        LogPrintf("Open Wireshark fail!\n");
        LogPrintf("%s\n", DescribeMissingProgram(szPath).c_str());
        return;
    }
    if (m_pcapPipe.Open(szPath) != 1) {
        LogPrintf("Open Wireshark fail!\n");
        LogPipeOpenFailure(szPath);
        m_pcapPipe.Disconnect();
        return;
    }
    if (m_rfCtrl.StartCapture() != 0) {
        m_pcapPipe.Disconnect();
        LogPrintf("Open UART Port FAIL!\n");
        LogPortOpenFailure();
        return;
    }
    m_bCapturing = 1;
    m_qwLostAtStart = m_rfCtrl.GetLostBytes();
    m_btnStart->setEnabled(false);
    m_btnStop->setEnabled(true);
}

void CCaptureDlg::OnStop()
{
    m_bCapturing = 0;
    m_rfCtrl.StopCapture();
    m_pcapPipe.Disconnect();
    m_btnStart->setEnabled(true);
    m_btnStop->setEnabled(false);
    LogPrintf("Stop ZigBee sniffing OK!\n");

    // Bytes lost to a full receive ring or skipped to find the next frame are
    // not silent: say how many went missing during this capture.
    uint64_t qwLost = m_rfCtrl.GetLostBytes();
    if (qwLost > m_qwLostAtStart) {
        LogPrintf("%llu received bytes were lost during this capture (receive buffer overflow or "
                  "damaged frames skipped)\n",
            static_cast<unsigned long long>(qwLost - m_qwLostAtStart));
    }
    m_qwLostAtStart = qwLost;
}

LRESULT CCaptureDlg::OnRfStatus(WPARAM /*wParam*/, LPARAM lParam)
{
    if (lParam != 0) {
        if (m_bCapturing == 1) {
            m_bCapturing = 0;
            LogPrintf("Start ZigBee sniffing FAIL!\n");
            OnStop();
        }
    } else if (m_bCapturing == 1) {
        LogPrintf("Start ZigBee sniffing OK!\n");
    }
    return 0;
}

LRESULT CCaptureDlg::OnRfFrame(WPARAM wParam, LPARAM lParam)
{
    const uint8_t* pFrame = reinterpret_cast<const uint8_t*>(wParam);
    const int32_t nLen = static_cast<int32_t>(lParam);
    if (pFrame == nullptr || nLen <= 0)
        return 0;

    s_nRxBytesSinceUpdate += nLen;
    m_nRxBytes += nLen;
    if (s_nRxBytesSinceUpdate >= RX_UPDATE_BYTES) {
        s_nRxBytesSinceUpdate = 0;
        m_strRxCount = QStringLiteral("Rx : %1").arg(static_cast<qlonglong>(m_nRxBytes));
        UpdateData(false);
    }
    // Frames of 8 to 16 bytes have no room for a payload: counted, not forwarded.
    const int32_t nPayload = RfPayloadLength(nLen);
    if (nPayload >= 0)
        m_pcapPipe.WritePacket(pFrame + RF_PAYLOAD_OFFSET, nPayload);
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
