// The serial port's reader and writer thread bodies.
#include "serial/uart_port.h"

#include <algorithm>
#include <climits>

#include "base/steady_us.h"

namespace {

// After a wait or a write that failed (not one that ended because the device
// went away), the thread pauses this long before it tries again, so that a
// lasting failure cannot make it spin.
constexpr int32_t RETRY_PAUSE_MS = 10;

// Pauses for RETRY_PAUSE_MS; false when the stop event ended the pause.
bool PauseUnlessStopped(COMM_EVENT hStop)
{
    return CommWaitEvents(&hStop, 1, RETRY_PAUSE_MS) != 0;
}

// The event wait's limit for a wake-up asked for at qwWakeAtUs (0: none).
int32_t TimeoutUntil(uint64_t qwWakeAtUs)
{
    if (qwWakeAtUs == 0)
        return -1;
    const uint64_t qwNow = SteadyNowUs();
    return qwWakeAtUs <= qwNow ? 0 : static_cast<int32_t>(std::min<uint64_t>(qwWakeAtUs - qwNow, INT32_MAX));
}

} // namespace

// The writer's chunk: bytes taken from the transmit ring, the first dwSent of
// them already handed to the driver.
struct CUartPort::CTxChunk {
    uint8_t m_abyData[UART_WRITE_CHUNK];
    uint32_t m_dwLen = 0;
    uint32_t m_dwSent = 0;
    uint64_t m_qwTaken = 0;   // bytes taken from the ring since construction, this chunk included

    bool IsDone() const { return m_dwSent >= m_dwLen; }
    uint64_t Finished() const { return m_qwTaken - (m_dwLen - m_dwSent); }
};

// With the receive ring full, waits until the consumer has taken bytes, leaving
// the rest with the driver. False when the stop event ended the wait.
bool CUartPort::WaitForRxRoom()
{
    CRingBuffer* pRing = m_pRxBuffer;
    if (pRing->GetFree() > 0)
        return true;
    const COMM_EVENT ahWait[2] = { m_hReaderStop, m_hRxRoom };
    bool bRun = true;
    while (bRun) {
        m_bRxWaitRoom.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);   // pairs with NoteRxTaken
        if (pRing->GetFree() > 0)
            break;
        const int32_t nIndex = CommWaitEvents(ahWait, 2, UART_RX_ROOM_RECHECK_MS);
        CommResetEvent(m_hRxRoom);
        bRun = nIndex != 0 && m_bReaderRun.load(std::memory_order_acquire);
        // A long transmission goes on while the reader sees no EV_TXEMPTY.
        if (bRun && m_pTxBuffer->GetCount() > 0)
            CommSetEvent(m_hTxReady);
    }
    m_bRxWaitRoom.store(false, std::memory_order_relaxed);
    return bRun;
}

// Bytes the driver says it lost (ClearCommError's overrun bits) make a gap.
void CUartPort::NoteDriverErrors(uint32_t dwErrors)
{
    if ((dwErrors & (CE_RXOVER | CE_OVERRUN)) != 0)
        NoteRxGap(0);
}

// Drops everything the owner had written before its last PurgeTx: the unsent
// part of the chunk that lies before that point, then the ring up to it.
void CUartPort::ApplyTxPurge(CTxChunk& chunk)
{
    const uint64_t qwTo = m_qwTxPurgeTo.load(std::memory_order_acquire);
    const uint64_t qwChunkStart = chunk.m_qwTaken - chunk.m_dwLen;
    if (qwTo > qwChunkStart + chunk.m_dwSent)
        chunk.m_dwSent = static_cast<uint32_t>(std::min<uint64_t>(qwTo - qwChunkStart, chunk.m_dwLen));
    if (qwTo > chunk.m_qwTaken) {
        const uint64_t qwDrop = std::min<uint64_t>(qwTo - chunk.m_qwTaken, UART_TX_RING_SIZE);
        chunk.m_qwTaken += static_cast<uint64_t>(m_pTxBuffer->Discard(static_cast<int32_t>(qwDrop)));
    }
}

// Moves the bytes queued in the driver into the receive ring, no more than the
// ring has room for; the rest stays with the driver for the next pass. The
// driver reads straight into the ring's free space, a piece up to its end at
// a time. Returns the result of the last read (COMM_DONE when all went well).
int32_t CUartPort::ReceiveQueued()
{
    uint32_t dwErrors = 0;
    uint32_t dwQueued = 0;
    if (CommClearError(m_hComm, &dwErrors, &dwQueued) == 0)
        return COMM_DONE;   // the next wait tells whether the device is still there
    NoteDriverErrors(dwErrors);
    CRingBuffer* pRing = m_pRxBuffer;
    while (dwQueued > 0) {
        uint8_t* pSpan = nullptr;
        const int32_t nSpan = pRing->GetWriteSpan(&pSpan);
        if (nSpan <= 0)
            break;
        uint32_t dwGot = 0;
        const uint32_t dwAsk = std::min({ dwQueued, static_cast<uint32_t>(UART_READ_BLOCK),
            static_cast<uint32_t>(nSpan) });
        // Each read is finished (or given up) before the next one starts on the
        // same record; a read that did not finish stores nothing.
        const int32_t nResult = CommRead(m_hComm, pSpan, dwAsk, &m_ovRead, m_hReaderStop, &dwGot);
        if (nResult != COMM_DONE)
            return nResult;
        NoteRxStored(pRing->CommitWrite(static_cast<int32_t>(std::min(dwGot, dwAsk))));
        dwQueued -= std::min(dwGot, dwQueued);
    }
    return COMM_DONE;
}

void CUartPort::ReaderThread()
{
    m_bReaderAlive.store(true, std::memory_order_release);
    CommRaiseThreadPriority();
    COMM_OVERLAPPED ovWait = {};
    ovWait.hEvent = CommCreateEvent();
    if (ovWait.hEvent == 0) {
        m_bReaderAlive.store(false, std::memory_order_release);
        return;
    }
    const COMM_HANDLE hComm = m_hComm;
    if (CommSetMask(hComm, UART_READER_MASK) != 0) {
        while (m_bReaderRun.load(std::memory_order_acquire)) {
            if (!WaitForRxRoom())
                break;
            uint32_t dwMask = 0;
            const uint64_t qwWakeAt = m_qwWakeAtUs.load(std::memory_order_relaxed);
            const int32_t nWait = CommWaitEventFor(hComm, &ovWait, m_hReaderStop, TimeoutUntil(qwWakeAt), &dwMask);
            if (nWait == COMM_STOPPED || !m_bReaderRun.load(std::memory_order_acquire))
                break;
            // Told once: a time set anew meanwhile stays for the next wait.
            uint64_t qwDue = qwWakeAt;
            if (qwWakeAt != 0 && SteadyNowUs() >= qwWakeAt && m_qwWakeAtUs.compare_exchange_strong(qwDue, 0))
                dwMask |= UART_EV_WAKE_DUE;
            if (nWait == COMM_FAILED && !PauseUnlessStopped(m_hReaderStop))
                break;
            bool bLost = nWait == COMM_LOST;
            if ((dwMask & EV_RXCHAR) != 0) {
                const int32_t nRead = ReceiveQueued();
                if (nRead == COMM_STOPPED)
                    break;
                bLost = bLost || nRead == COMM_LOST;
            }
            if ((dwMask & UART_MODEM_EVENTS) != 0) {
                uint32_t dwStatus = 0;
                if (CommGetModemStatus(hComm, &dwStatus) != 0)
                    m_dwModemStatus.store(dwStatus, std::memory_order_relaxed);
            }
            if ((dwMask & EV_TXEMPTY) != 0) {
                // Not finished while the ring still holds bytes; either way the writer goes on.
                if (m_pTxBuffer->GetCount() > 0)
                    dwMask &= ~EV_TXEMPTY;
                CommSetEvent(m_hTxReady);
            }
            if (bLost) {
                dwMask |= EV_ERR;
                m_bLineLost.store(true, std::memory_order_release);
            }
            if ((dwMask & EV_ERR) != 0) {
                uint32_t dwErrors = 0;
                if (CommClearError(hComm, &dwErrors, nullptr) != 0)
                    NoteDriverErrors(dwErrors);
            }
            OnCommEvent(dwMask);
            // The hook may have closed the port: the stop event and the device
            // are released then, and the thread ends without touching them.
            if (!m_bReaderRun.load(std::memory_order_acquire))
                break;
            if (bLost) {
                // The device has gone: report it once, then only wait to be stopped.
                (void)CommWaitEvents(&m_hReaderStop, 1, -1);
                break;
            }
        }
    }
    CommCloseEvent(ovWait.hEvent);
    m_bReaderAlive.store(false, std::memory_order_release);
}

void CUartPort::WriterThread()
{
    m_bWriterAlive.store(true, std::memory_order_release);
    CTxChunk chunk;
    chunk.m_qwTaken = m_qwTxTaken.load(std::memory_order_relaxed);
    const COMM_EVENT ahWait[2] = { m_hWriterStop, m_hTxReady };
    bool bLost = false;
    while (m_bWriterRun.load(std::memory_order_acquire)) {
        const int32_t nIndex = CommWaitEvents(ahWait, 2, -1);
        if (!m_bWriterRun.load(std::memory_order_acquire) || nIndex == 0)
            break;
        if (nIndex != 1 && !PauseUnlessStopped(m_hWriterStop))
            break;
        CommResetEvent(m_hTxReady);
        ApplyTxPurge(chunk);
        m_qwTxTaken.store(chunk.m_qwTaken, std::memory_order_relaxed);
        m_qwTxFinished.store(chunk.Finished(), std::memory_order_release);
        if (bLost)
            continue;   // the device has gone: nothing more goes out until Close
        if (chunk.IsDone()) {
            if (m_pTxBuffer->GetCount() > 0) {
                const int32_t nRead = m_pTxBuffer->Read(chunk.m_abyData, UART_WRITE_CHUNK);
                chunk.m_dwLen = static_cast<uint32_t>(nRead);
                chunk.m_dwSent = 0;
                chunk.m_qwTaken += static_cast<uint64_t>(nRead);
                m_qwTxTaken.store(chunk.m_qwTaken, std::memory_order_relaxed);
                CommSetEvent(m_hTxReady);
            }
            continue;
        }
        uint32_t dwPut = 0;
        const int32_t nResult = CommWrite(m_hComm, chunk.m_abyData + chunk.m_dwSent,
            chunk.m_dwLen - chunk.m_dwSent, &m_ovWrite, m_hWriterStop, &dwPut);
        if (nResult == COMM_STOPPED || !m_bWriterRun.load(std::memory_order_acquire))
            break;
        if (nResult == COMM_DONE) {
            chunk.m_dwSent += dwPut;
            m_qwTxFinished.store(chunk.Finished(), std::memory_order_release);
        } else if (nResult == COMM_LOST) {
            bLost = true;
            m_bLineLost.store(true, std::memory_order_release);
            continue;
        } else if (nResult != COMM_ABORTED && !PauseUnlessStopped(m_hWriterStop)) {
            break;
        }
        if (!chunk.IsDone())
            CommSetEvent(m_hTxReady);
        std::this_thread::yield();
    }
    m_bWriterAlive.store(false, std::memory_order_release);
}
