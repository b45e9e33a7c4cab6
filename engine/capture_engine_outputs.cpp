// The outputs' side of a capture: the pipe link's events, why a port or the
// pipe failed, how the output ends, the summary at Stop, and the counters
// any thread may read.
#include "engine/capture_engine.h"

#include "engine/capture_engine_ids.h"
#include "engine/capture_texts.h"
#include "serial/port_names.h"
#include "serial/uart_port.h"

namespace {

uint64_t Diff(uint64_t qwFrom, uint64_t qwTo)
{
    return qwTo >= qwFrom ? qwTo - qwFrom : 0;
}

} // namespace

void CCaptureEngine::OnPipeEvent(int32_t nEvent, uint32_t dwGeneration)
{
    // An event of a pipe client that Stop has already cut off tells nothing.
    if (dwGeneration != m_dwPipeGeneration.load(std::memory_order_acquire) || !IsRunning())
        return;
    switch (nEvent) {
    case PIPE_EVENT_CONNECTED:
        // Wireshark is reading: now the dongle is set up.
        if (m_ePhase == ECapturePhase::WaitReader)
            OpenPort();
        break;
    case PIPE_EVENT_CONNECT_FAILED:
        if (m_ePhase == ECapturePhase::WaitReader) {
            Tell(TEXT_OPEN_WIRESHARK_FAIL);
            TellPipeFailure();
            FailStart(ESessionEnd::OutputFailed);
        }
        break;
    case PIPE_EVENT_CLIENT_GONE:
    case PIPE_EVENT_CLIENT_BACK:
    case PIPE_EVENT_RECONNECT_GAVE_UP:
        Tell(DescribePipeEvent(nEvent, m_dwReconnectTimeoutMs));
        break;
    default:
        break;
    }
}

// Pipe writer thread: nothing here may touch the engine's state or call back
// into the pipe link. When the engine's window is gone first, the post is
// dropped with the window.
void CCaptureEngine::CPipeEventRelay::OnPipeEvent(int32_t nEvent)
{
    const uint32_t dwGeneration = m_engine.m_dwPipeGeneration.load(std::memory_order_acquire);
    m_engine.m_wnd.PostWndMessage(WM_ENGINE_PIPE_EVENT, static_cast<WPARAM>(nEvent),
        static_cast<LPARAM>(dwGeneration));
}

void CCaptureEngine::TellPortFailure()
{
    const CUartPort* pPort = m_rfCtrl.GetPort();
    const COsError err = pPort != nullptr ? pPort->GetLastOpenError() : COsError();
    const bool bOpen = pPort != nullptr && pPort->IsOpen();
    if (!m_target.m_strDevice.empty()) {
        Tell(bOpen ? m_target.m_strDevice + " opened but did not take the set-channel command"
                   : DescribeDeviceFailure(m_target.m_strDevice, err));
        return;
    }
    Tell(DescribePortFailure(m_target.m_nPort, bOpen, err, pPort != nullptr ? pPort->GetDevicePath() : "",
        ResolveComPort(m_target.m_nPort).c_str(), PortLinksApply() ? GetPortsDirectory() : ""));
}

void CCaptureEngine::TellPipeFailure()
{
    Tell(DescribePipeFailure(m_strProgram.c_str(), m_pcapPipe.GetLastOpenFailure(), m_pcapPipe.GetLastLaunchError(),
        m_pcapPipe.GetLastPipeError(), m_pcapPipe.GetPipePath(), m_dwConnectTimeoutMs));
}

// Wireshark's client is cut off at once; a file-like output gets its grace
// and is closed whole. bTell: a write that failed and was not told yet is
// told now, and makes a normal end a failed output.
void CCaptureEngine::EndOutput(bool bTell)
{
    // Never asks the switch: a reader thread held in a write holds its lock.
    if (m_bToPipe || m_bSurvey) {
        m_recordSwitch.SetTarget(nullptr);
        DisconnectPipe();
        return;
    }
    m_output.BeginEnd(StopGraceMs());
    m_recordSwitch.SetTarget(nullptr);   // waits for a batch in progress (bounded by the grace)
    const bool bClosed = m_output.Close();
    m_outputAtEnd = m_output.GetStats();
    m_bOutputRemoved = (m_eEnd == ESessionEnd::PortFailed || m_eEnd == ESessionEnd::NoAnswer)
        && m_output.RemoveIfUnused();
    m_bOutputClosedWhole = bClosed;
    if (bClosed || m_bOutputReported || !bTell)
        return;
    m_bOutputReported = true;
    if (!m_output.IsNamedFile())
        Tell(DescribeOutputWriteFailure(m_output.GetName(), m_output.GetLastError()));
    if (m_eEnd == ESessionEnd::Stopped || m_eEnd == ESessionEnd::LimitReached)
        m_eEnd = ESessionEnd::OutputFailed;
}

void CCaptureEngine::DisconnectPipe()
{
    m_pcapPipe.Disconnect();
    m_dwPipeGeneration.fetch_add(1, std::memory_order_acq_rel);
}

// The one line after "Stop ZigBee sniffing OK!", and for a file where the
// frames went.
void CCaptureEngine::TellSummary(bool bFileCapture)
{
    if (!bFileCapture) {
        Tell(DescribeCaptureSummary(m_countersAtStart, m_rfCtrl.GetCounters(), m_pipeAtStart,
            m_pcapPipe.GetStats()));
        return;
    }
    Tell(DescribeCaptureSummary(m_countersAtStart, m_rfCtrl.GetCounters(), AsPipeStats(m_outputAtStart),
        AsPipeStats(m_outputAtEnd), Diff(m_outputAtStart.m_qwRecordsWriteFailed, m_outputAtEnd.m_qwRecordsWriteFailed)));
    if (!m_output.IsNamedFile())
        return;
    const uint64_t qwFrames = Diff(m_outputAtStart.m_qwRecordsWritten, m_outputAtEnd.m_qwRecordsWritten);
    if (m_bOutputRemoved)
        Tell(DescribeNoFileWritten(m_output.GetName()));
    else if (m_output.IsGone())
        Tell(DescribeFileRemoved(m_output.GetName(), qwFrames));
    else
        Tell(DescribeSavedFile(m_output.GetName(), qwFrames, m_bOutputClosedWhole, m_output.GetLastError()));
}

bool CCaptureEngine::IsPortOpen() const
{
    return m_rfCtrl.GetPort() != nullptr;
}

CRfCounters CCaptureEngine::GetCounters() const
{
    return m_rfCtrl.GetCounters();
}

CPcapPipeStats CCaptureEngine::GetPipeStats() const
{
    return m_pcapPipe.GetStats();
}

CCaptureStats CCaptureEngine::GetStats() const
{
    const CRfCounters counters = m_rfCtrl.GetCounters();
    std::lock_guard<std::mutex> lock(m_mtxStart);
    CCaptureStats stats;
    stats.m_qwBytes = Diff(m_countersAtStart.m_qwDataBytes, counters.m_qwDataBytes);
    // A receive overflow costs at least the frame it cut into.
    stats.m_qwLost = Diff(m_countersAtStart.m_qwGaps, counters.m_qwGaps);
    if (m_bToPipe) {
        const CPcapPipeStats pipe = m_pcapPipe.GetStats();
        stats.m_qwFrames = Diff(m_pipeAtStart.m_qwRecordsDelivered, pipe.m_qwRecordsDelivered);
        stats.m_qwLost += Diff(m_pipeAtStart.m_qwDroppedNoReader + m_pipeAtStart.m_qwDroppedSlowReader,
            pipe.m_qwDroppedNoReader + pipe.m_qwDroppedSlowReader);
        return stats;
    }
    const CPcapFileStats file = m_output.GetStats();
    stats.m_qwFrames = Diff(m_outputAtStart.m_qwRecordsWritten, file.m_qwRecordsWritten);
    stats.m_qwLost += Diff(m_outputAtStart.m_qwRecordsDropped, file.m_qwRecordsDropped);
    return stats;
}
