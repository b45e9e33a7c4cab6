#include "pcap/pcap_pipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pcap/launch.h"
#include "pcap/pcap_stream.h"

static constexpr uint32_t PIPE_QUEUE_MAX_BYTES = 1u << 30;   // keeps every batch within one int32 write

// The diagnostic lines go to standard output only; a windowed program shows
// them nowhere unless its output is redirected.
void CPcapPipe::PrintPipeOpenError()
{
    printf("Pipe open error!\r\n");
    fflush(stdout);
}

CPcapPipe::CPcapPipe()
    : m_hPipe(INVALID_PIPE_HANDLE),
      m_hWake(PipeWakeCreate()),
      m_pEvents(nullptr),
      m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS),
      m_dwReconnectTimeoutMs(PIPE_RECONNECT_TIMEOUT_MS),
      m_dwQueueBytes(PIPE_QUEUE_BYTES),
      m_eLinkType(EPcapLinkType::Ieee802154WithFcs),
      m_eStreamLinkType(EPcapLinkType::Ieee802154WithFcs),
      m_nState(PIPE_STATE_CLOSED),
      m_nLastOpenFailure(PIPE_FAIL_NONE),
      m_qwBatchRecords(0),
      m_qwQueueRecords(0),
      m_nInFlightBytes(0),
      m_bAccepting(false),
      m_bStop(true),
      m_bWriterIdle(false),
      m_nOutPos(0),
      m_nOutDone(0),
      m_qwOutRecords(0),
      m_qwRecordsQueued(0),
      m_qwRecordsDelivered(0),
      m_qwBytesDelivered(0),
      m_qwDroppedNoReader(0),
      m_qwDroppedSlowReader(0)
{
}

CPcapPipe::~CPcapPipe()
{
    StopWriter();
    // Drops the client and removes the FIFO.
    if (m_hPipe != INVALID_PIPE_HANDLE) {
        PipeCloseInstance(m_hPipe);
        m_hPipe = INVALID_PIPE_HANDLE;
    }
    PipeWakeClose(m_hWake);
}

void CPcapPipe::SetEvents(IPcapPipeEvents* pEvents)
{
    m_pEvents = pEvents;
}

void CPcapPipe::SetTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_dwConnectTimeoutMs = dwConnectMs;
    m_dwReconnectTimeoutMs = dwReconnectMs;
}

void CPcapPipe::SetQueueBytes(uint32_t dwBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dwQueueBytes = std::min(dwBytes, PIPE_QUEUE_MAX_BYTES);
}

const COsError& CPcapPipe::GetLastLaunchError() const
{
    return m_errLaunch;
}

const char* CPcapPipe::GetPipePath() const
{
    m_strPipePath = m_nState != PIPE_STATE_CLOSED ? m_strInstancePath : PipeDefaultPath();
    return m_strPipePath.c_str();
}

int32_t CPcapPipe::GetState() const
{
    return m_nState;
}

int32_t CPcapPipe::GetLastOpenFailure() const
{
    return m_nLastOpenFailure;
}

void CPcapPipe::SetPipeError(const COsError& err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errPipe = err;
}

const COsError& CPcapPipe::GetLastPipeError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errPipeShown = m_errPipe;
    return m_errPipeShown;
}

CPcapPipeStats CPcapPipe::GetStats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CPcapPipeStats stats;
    stats.m_qwRecordsQueued = m_qwRecordsQueued;
    stats.m_qwRecordsDelivered = m_qwRecordsDelivered;
    stats.m_qwBytesDelivered = m_qwBytesDelivered;
    stats.m_qwDroppedNoReader = m_qwDroppedNoReader;
    stats.m_qwDroppedSlowReader = m_qwDroppedSlowReader;
    return stats;
}

int32_t CPcapPipe::Open(const char* pszPath)
{
    // Start is never pressed during a capture; should it happen anyway, a
    // second global header in the middle of the old client's stream would
    // wreck it, so the old client is dropped first, as Stop would.
    Disconnect();
    m_eStreamLinkType.store(m_eLinkType);   // before the writer thread starts
    m_nLastOpenFailure = PIPE_FAIL_NONE;
    m_errLaunch = COsError();
    SetPipeError(COsError());

    COsError err;
    if (m_hWake == INVALID_PIPE_WAKE)
        m_hWake = PipeWakeCreate(&err);
    if (m_hWake == INVALID_PIPE_WAKE) {
        // Without it Stop could not end a wait: better no capture than a
        // window frozen for the whole connect wait.
        SetPipeError(err.IsError() ? err : OsErrorOfKind(EOsError::NoResources, "no wake event"));
        m_nLastOpenFailure = PIPE_FAIL_CREATE;
        PrintPipeOpenError();
        return 0;
    }
    if (m_hPipe == INVALID_PIPE_HANDLE) {
        m_hPipe = PipeCreateInstance(&err);
        if (m_hPipe == INVALID_PIPE_HANDLE) {
            SetPipeError(err);
            m_nLastOpenFailure = PIPE_FAIL_CREATE;
            m_nState = PIPE_STATE_CLOSED;
            PrintPipeOpenError();
            return 0;
        }
        m_strInstancePath = PipeInstancePath(m_hPipe);
        m_nState = PIPE_STATE_IDLE;
    }

    const char* const pszArgs[] = {"-i", m_strInstancePath.c_str(), "-k"};
    m_errLaunch = LaunchDetached(pszPath, pszArgs, 3);
    if (m_errLaunch.IsError()) {
        // The pipe stays for the next attempt.
        m_nLastOpenFailure = PIPE_FAIL_LAUNCH;
        printf("Error: execute failed! err_code=%d\n", static_cast<int>(m_errLaunch.m_nCode));
        fflush(stdout);
        return 0;
    }
    printf("execute success !\n");
    fflush(stdout);

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = false;
        m_bAccepting = true;   // records queue while Wireshark starts up
    }
    m_nState = PIPE_STATE_WAITING;
    m_writer = std::thread(&CPcapPipe::RunWriter, this);
    return 1;
}

void CPcapPipe::Disconnect()
{
    StopWriter();
    if (m_hPipe != INVALID_PIPE_HANDLE) {
        PipeDisconnectClient(m_hPipe);
        m_nState = PIPE_STATE_IDLE;
    } else {
        m_nState = PIPE_STATE_CLOSED;
    }
}

void CPcapPipe::StopWriter()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_bAccepting = false;
        m_bWriterIdle = false;   // no direct write from here on: the client is about to go
    }
    m_cvQueue.notify_all();
    PipeWakeSignal(m_hWake);
    if (m_writer.joinable())
        m_writer.join();
    PipeWakeReset(m_hWake);
    // What the writer had not delivered is lost: to a reader that was there
    // but had not taken it, or to none when it was cut during a wait.
    DropAll(m_nState != PIPE_STATE_CONNECTED);
}

void CPcapPipe::DropAll(bool bNoReader)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t qwRecords = m_qwQueueRecords + m_qwOutRecords;
    (bNoReader ? m_qwDroppedNoReader : m_qwDroppedSlowReader) += qwRecords;
    m_queue.Clear();
    m_qwQueueRecords = 0;
    m_outBatch.Clear();
    m_nOutPos = 0;
    m_nOutDone = 0;
    m_qwOutRecords = 0;
    m_nInFlightBytes = 0;
}

void CPcapPipe::SetLinkType(EPcapLinkType eLinkType)
{
    m_eLinkType = eLinkType;
}

void CPcapPipe::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    if (nLen < 0 || static_cast<uint32_t>(nLen) > PCAP_SNAPLEN || (pData == nullptr && nLen > 0))
        return;
    const size_t nRecord = PCAP_RECORD_HEADER_LEN + static_cast<size_t>(nLen);
    if (m_batch.Size() + nRecord > m_dwQueueBytes) {
        // Never flushed and bigger than the queue: it could not go in anyway.
        ++m_qwDroppedSlowReader;
        return;
    }
    AppendPcapRecord(m_batch, pData, nLen, tm, m_eStreamLinkType.load(std::memory_order_relaxed));
    ++m_qwBatchRecords;
}

void CPcapPipe::FlushRecords()
{
    if (m_qwBatchRecords == 0)
        return;
    bool bWakeWriter = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bAccepting)
            m_qwDroppedNoReader += m_qwBatchRecords;
        else if (m_bWriterIdle && PipeNoWaitIsExact())
            bWakeWriter = WriteDirect();
        else
            bWakeWriter = QueueBatch();
    }
    m_batch.Clear();
    m_qwBatchRecords = 0;
    if (bWakeWriter)
        m_cvQueue.notify_one();
}

// The writer is idle and nothing is queued or in flight: the batch goes out
// here, in one write while the client keeps up. The lock keeps Disconnect
// and the writer off the client meanwhile; the write never waits. What did
// not go (pipe full, client gone) becomes the writer's, exactly where it
// stopped. True when the writer has work.
bool CPcapPipe::WriteDirect()
{
    m_outBatch.Swap(m_batch);   // m_batch takes the spent buffer and is cleared
    m_nOutPos = 0;
    m_nOutDone = 0;
    m_qwOutRecords = m_qwBatchRecords;
    m_qwRecordsQueued += m_qwBatchRecords;
    int32_t nMoved = 0;
    WriteOutVia(PIPE_WAKE_NO_WAIT, &nMoved);
    NoteWritten(nMoved);
    if (m_nOutPos >= m_outBatch.Size()) {
        m_outBatch.Clear();
        m_nOutPos = 0;
        m_nOutDone = 0;
        return false;
    }
    m_bWriterIdle = false;   // later batches queue behind the rest
    return true;
}

// The longest run of whole records that fits; the rest is dropped.
bool CPcapPipe::QueueBatch()
{
    const size_t nUsed = m_queue.Size() + m_nInFlightBytes;
    const size_t nRoom = nUsed < m_dwQueueBytes ? m_dwQueueBytes - nUsed : 0;
    size_t nTake = 0;
    uint64_t qwTake = 0;
    while (qwTake < m_qwBatchRecords && nTake + PcapRecordSize(m_batch.Data() + nTake) <= nRoom) {
        nTake += PcapRecordSize(m_batch.Data() + nTake);
        ++qwTake;
    }
    if (nTake > 0)
        std::memcpy(m_queue.Append(nTake), m_batch.Data(), nTake);
    m_qwQueueRecords += qwTake;
    m_qwRecordsQueued += qwTake;
    m_qwDroppedSlowReader += m_qwBatchRecords - qwTake;
    return qwTake > 0;
}

void CPcapPipe::WritePacket(const uint8_t* pData, int32_t nLen)
{
    AddRecord(pData, nLen, PcapNow());
    FlushRecords();
}

void CPcapPipe::Report(int32_t nEvent)
{
    {
        // Once Disconnect has begun, the owner has moved on.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStop)
            return;
    }
    if (m_pEvents != nullptr)
        m_pEvents->OnPipeEvent(nEvent);
}
