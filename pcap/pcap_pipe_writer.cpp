// The pipe's writer thread: the connect wait, one write per batch taken from
// the queue, and the wait for a new client when the old one has gone. Every
// wait and write ends when Disconnect signals the wake.
#include "pcap/pcap_pipe.h"

#include <chrono>

// An idle writer looks this often whether the client has closed its end, so
// that the user hears of it without waiting for the next frame.
static constexpr uint32_t PIPE_IDLE_CHECK_MS = 200;

static constexpr int32_t TAKE_STOP = 0;
static constexpr int32_t TAKE_DATA = 1;
static constexpr int32_t TAKE_CLIENT_GONE = 2;

void CPcapPipe::RunWriter()
{
    int32_t nWait = PIPE_WAIT_CONNECTED;
    if (!WaitForClient(m_dwConnectTimeoutMs, &nWait)) {
        if (nWait == PIPE_WAIT_CANCELLED)
            return;   // Stop during the wait: the pipe stays, nothing to tell
        m_nLastOpenFailure = nWait == PIPE_WAIT_TIMEOUT ? PIPE_FAIL_CONNECT_TIMEOUT : PIPE_FAIL_CONNECT_ERROR;
        GiveUp();
        PrintPipeOpenError();
        Report(PIPE_EVENT_CONNECT_FAILED);
        return;
    }
    WriteGlobalHeader();
    m_nState = PIPE_STATE_CONNECTED;
    Report(PIPE_EVENT_CONNECTED);
    for (;;) {
        const int32_t nTake = TakeBatch();
        if (nTake == TAKE_STOP) {
            FinishCutRecord();
            return;
        }
        const int32_t nResult = nTake == TAKE_DATA ? WriteOut() : PIPE_IO_GONE;
        if (nResult == PIPE_IO_CANCELLED)
            return;
        if (nResult == PIPE_IO_GONE && !Reconnect())
            return;
    }
}

bool CPcapPipe::WaitForClient(uint32_t dwTimeoutMs, int32_t* pnWait)
{
    COsError err;
    *pnWait = PipeWaitForClient(m_hPipe, dwTimeoutMs, &err, m_hWake);
    if (*pnWait == PIPE_WAIT_TIMEOUT || *pnWait == PIPE_WAIT_ERROR)
        SetPipeError(err);
    return *pnWait == PIPE_WAIT_CONNECTED;
}

// Waits for records (or Stop). What an interrupted write left goes first.
// While it waits with nothing left, the capture side may write directly.
int32_t CPcapPipe::TakeBatch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const int32_t nTake = TakeBatchLocked(lock);
    m_bWriterIdle = false;
    return nTake;
}

int32_t CPcapPipe::TakeBatchLocked(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        if (m_bStop)
            return TAKE_STOP;
        if (m_nOutPos < m_outBatch.Size())
            return TAKE_DATA;
        if (!m_queue.IsEmpty()) {
            // A swap: the capture side goes on filling the buffer just written.
            m_outBatch.Clear();
            m_outBatch.Swap(m_queue);
            m_nOutPos = 0;
            m_nOutDone = 0;
            m_qwOutRecords = m_qwQueueRecords;
            m_qwQueueRecords = 0;
            m_nInFlightBytes = m_outBatch.Size();
            return TAKE_DATA;
        }
        m_bWriterIdle = true;
        if (m_cvQueue.wait_for(lock, std::chrono::milliseconds(PIPE_IDLE_CHECK_MS)) == std::cv_status::timeout
            && PipeClientGone(m_hPipe))
            return TAKE_CLIENT_GONE;
    }
}

// Everything taken, in as few writes as the client allows (one while it
// keeps up); afterwards m_nOutPos is at the first record that did not reach
// the client whole.
int32_t CPcapPipe::WriteOut()
{
    int32_t nMoved = 0;
    const int32_t nResult = WriteOutVia(m_hWake, &nMoved);
    std::lock_guard<std::mutex> lock(m_mutex);
    NoteWritten(nMoved);
    return nResult;
}

// Writes m_outBatch from what the client has on. The records are the write's
// blocks: a client that is cut off or goes away never holds half of one.
int32_t CPcapPipe::WriteOutVia(PIPE_WAKE hWake, int32_t* pnMoved)
{
    m_vEnds.clear();
    for (size_t nPos = m_nOutPos; nPos < m_outBatch.Size();) {
        nPos += PcapRecordSize(m_outBatch.Data() + nPos);
        m_vEnds.push_back(static_cast<uint32_t>(nPos - m_nOutDone));
    }
    int32_t nResult = PIPE_IO_GONE;
    *pnMoved = PipeWriteBlocks(m_hPipe, m_outBatch.Data() + m_nOutDone, static_cast<int32_t>(m_outBatch.Size() - m_nOutDone),
                               m_vEnds.data(), static_cast<int32_t>(m_vEnds.size()), hWake, &nResult,
                               static_cast<uint32_t>(m_nOutDone - m_nOutPos));
    return nResult;
}

// Stop came while the client holds the start of a record (a direct write
// that the pipe took only part of, on Win32): it gets the rest of that record
// before it is cut off, never half of one. Nothing after it is sent.
void CPcapPipe::FinishCutRecord()
{
    if (m_nOutDone <= m_nOutPos || m_nOutPos >= m_outBatch.Size())
        return;
    const uint32_t dwRest = static_cast<uint32_t>(m_nOutPos + PcapRecordSize(m_outBatch.Data() + m_nOutPos) - m_nOutDone);
    const int32_t nMoved = PipeWriteBlocks(m_hPipe, m_outBatch.Data() + m_nOutDone, static_cast<int32_t>(dwRest), &dwRest,
                                           1, m_hWake, nullptr, static_cast<uint32_t>(m_nOutDone - m_nOutPos));
    std::lock_guard<std::mutex> lock(m_mutex);
    NoteWritten(nMoved);
}

void CPcapPipe::NoteWritten(int32_t nMoved)
{
    m_nOutDone += static_cast<size_t>(nMoved);
    uint64_t qwWhole = 0;
    while (m_nOutPos < m_outBatch.Size() && m_nOutPos + PcapRecordSize(m_outBatch.Data() + m_nOutPos) <= m_nOutDone) {
        m_nOutPos += PcapRecordSize(m_outBatch.Data() + m_nOutPos);
        ++qwWhole;
    }
    m_qwOutRecords -= qwWhole;
    m_nInFlightBytes = m_outBatch.Size() - m_nOutPos;
    m_qwRecordsDelivered += qwWhole;
    m_qwBytesDelivered += static_cast<uint64_t>(nMoved);
}

// The client has gone: wait for another. It gets the global header, then the
// record that was cut (same bytes, same stamp) and what followed.
bool CPcapPipe::Reconnect()
{
    PipeReleaseClient(m_hPipe);
    m_nOutDone = m_nOutPos;   // the next client gets the cut record whole
    m_nState = PIPE_STATE_WAITING;
    Report(PIPE_EVENT_CLIENT_GONE);
    int32_t nWait = PIPE_WAIT_CONNECTED;
    if (WaitForClient(m_dwReconnectTimeoutMs, &nWait)) {
        WriteGlobalHeader();
        m_nState = PIPE_STATE_CONNECTED;
        Report(PIPE_EVENT_CLIENT_BACK);
        return true;
    }
    if (nWait == PIPE_WAIT_CANCELLED)
        return false;
    GiveUp();
    Report(PIPE_EVENT_RECONNECT_GAVE_UP);
    return false;
}

// No client came: nothing more is taken until the next Open, which makes a
// new pipe.
void CPcapPipe::GiveUp()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAccepting = false;
    }
    DropAll(true);
    PipeCloseInstance(m_hPipe);
    m_hPipe = INVALID_PIPE_HANDLE;
    m_nState = PIPE_STATE_CLOSED;
}

void CPcapPipe::WriteGlobalHeader()
{
    // A fresh client's pipe is empty: these bytes go in at once, before a
    // Stop can close it (an open without the header upsets Wireshark).
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader, m_eStreamLinkType.load());
    const int32_t nMoved = PipeWrite(m_hPipe, byHeader, PCAP_GLOBAL_HEADER_LEN, m_hWake, nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_qwBytesDelivered += static_cast<uint64_t>(nMoved);
}
