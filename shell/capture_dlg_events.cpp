// What the window hears during a capture besides the controller: the pipe
// link's events, handed over from its writer thread, and the Rx label's timer.
#include "shell/capture_dlg.h"

#include "shell/activity_log.h"
#include "shell/capture_report.h"

// Pipe writer thread: nothing here may touch the dialog or call back into
// the pipe link. The call is queued to the window thread; when the dialog is
// gone first, Qt drops it with the dialog's other pending events.
void CCaptureDlg::CPipeEventRelay::OnPipeEvent(int32_t nEvent)
{
    CCaptureDlg* pDlg = &m_dlg;
    const uint32_t dwGeneration = m_dlg.m_dwPipeGeneration.load(std::memory_order_acquire);
    QMetaObject::invokeMethod(pDlg, [pDlg, nEvent, dwGeneration] { pDlg->OnPipeEvent(nEvent, dwGeneration); },
        Qt::QueuedConnection);
}

void CCaptureDlg::OnPipeEvent(int32_t nEvent, uint32_t dwGeneration)
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

void CCaptureDlg::OnRxTimer()
{
    RefreshRxLabel(m_rfCtrl.GetCounters().m_qwDataBytes);
}

void CCaptureDlg::RefreshRxLabel(uint64_t qwDataBytes)
{
    const int64_t nBytes = static_cast<int64_t>(qwDataBytes);
    if (nBytes == m_nRxBytes)
        return;   // the label is blank until the first frame, then changes only with the count
    m_nRxBytes = nBytes;
    m_strRxCount = QStringLiteral("Rx : %1").arg(static_cast<qulonglong>(qwDataBytes));
    UpdateData(false);
}
