// The serial port's reader and writer thread bodies.
#include "serial/uart_port.h"

#include <algorithm>

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

// With the receive ring full, waits until the consumer has taken bytes, leaving
// the rest with the driver. False when the stop event ended the wait.
bool WaitForRxRoom(CUartPort* pPort)
{
    CRingBuffer* pRing = pPort->m_pRxBuffer;
    if (pRing->GetFree() > 0)
        return true;
    const COMM_EVENT ahWait[2] = { pPort->m_hReaderStop, pPort->m_hRxRoom };
    bool bRun = true;
    while (bRun) {
        pPort->m_bRxWaitRoom.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);   // pairs with NoteRxTaken
        if (pRing->GetFree() > 0)
            break;
        const int32_t nIndex = CommWaitEvents(ahWait, 2, UART_RX_ROOM_RECHECK_MS);
        CommResetEvent(pPort->m_hRxRoom);
        bRun = nIndex != 0 && pPort->m_bReaderRun.load(std::memory_order_acquire);
        // A long transmission goes on while the reader sees no EV_TXEMPTY.
        if (bRun && pPort->m_pTxBuffer->GetCount() > 0)
            CommSetEvent(pPort->m_hTxReady);
    }
    pPort->m_bRxWaitRoom.store(false, std::memory_order_relaxed);
    return bRun;
}

// Bytes the driver says it lost (ClearCommError's overrun bits) make a gap.
void NoteDriverErrors(CUartPort* pPort, uint32_t dwErrors)
{
    if ((dwErrors & (CE_RXOVER | CE_OVERRUN)) != 0)
        pPort->NoteRxGap(0);
}

// The writer's chunk: bytes taken from the transmit ring, the first dwSent of
// them already handed to the driver.
struct CTxChunk {
    uint8_t m_abyData[UART_WRITE_CHUNK];
    uint32_t m_dwLen = 0;
    uint32_t m_dwSent = 0;
    uint64_t m_qwTaken = 0;   // bytes taken from the ring since construction, this chunk included

    bool IsDone() const { return m_dwSent >= m_dwLen; }
    uint64_t Finished() const { return m_qwTaken - (m_dwLen - m_dwSent); }
};

// Drops everything the owner had written before its last PurgeTx: the unsent
// part of the chunk that lies before that point, then the ring up to it.
void ApplyTxPurge(CUartPort* pPort, CTxChunk& chunk)
{
    const uint64_t qwTo = pPort->m_qwTxPurgeTo.load(std::memory_order_acquire);
    const uint64_t qwChunkStart = chunk.m_qwTaken - chunk.m_dwLen;
    if (qwTo > qwChunkStart + chunk.m_dwSent)
        chunk.m_dwSent = static_cast<uint32_t>(std::min<uint64_t>(qwTo - qwChunkStart, chunk.m_dwLen));
    if (qwTo > chunk.m_qwTaken) {
        const uint64_t qwDrop = std::min<uint64_t>(qwTo - chunk.m_qwTaken, UART_TX_RING_SIZE);
        chunk.m_qwTaken += static_cast<uint64_t>(pPort->m_pTxBuffer->Discard(static_cast<int32_t>(qwDrop)));
    }
}

// Moves the bytes queued in the driver into the receive ring, no more than the
// ring has room for; the rest stays with the driver for the next pass. Returns
// the result of the last read (COMM_DONE when all went well).
int32_t ReceiveQueued(CUartPort* pPort, uint8_t* pBlock)
{
    uint32_t dwErrors = 0;
    uint32_t dwQueued = 0;
    if (CommClearError(pPort->m_hComm, &dwErrors, &dwQueued) == 0)
        return COMM_DONE;   // the next wait tells whether the device is still there
    NoteDriverErrors(pPort, dwErrors);
    CRingBuffer* pRing = pPort->m_pRxBuffer;
    while (dwQueued > 0) {
        const int32_t nFree = pRing->GetFree();
        if (nFree <= 0)
            break;
        uint32_t dwGot = 0;
        const uint32_t dwAsk = std::min({ dwQueued, static_cast<uint32_t>(UART_READ_BLOCK),
            static_cast<uint32_t>(nFree) });
        // Each read is finished (or given up) before the next one starts on the same record.
        const int32_t nResult = CommRead(pPort->m_hComm, pBlock, dwAsk, &pPort->m_ovRead,
            pPort->m_hReaderStop, &dwGot);
        if (nResult != COMM_DONE)
            return nResult;
        (void)pPort->StoreRx(pBlock, static_cast<int32_t>(dwGot));
        dwQueued -= std::min(dwGot, dwQueued);
    }
    return COMM_DONE;
}

} // namespace

void CUartPort::ReaderThread(CUartPort* pPort)
{
    pPort->m_bReaderAlive.store(true, std::memory_order_release);
    CommRaiseThreadPriority();
    COMM_OVERLAPPED ovWait = {};
    ovWait.hEvent = CommCreateEvent();
    if (ovWait.hEvent == 0) {
        pPort->m_bReaderAlive.store(false, std::memory_order_release);
        return;
    }
    uint8_t abyBlock[UART_READ_BLOCK];
    const COMM_HANDLE hComm = pPort->m_hComm;
    if (CommSetMask(hComm, UART_READER_MASK) != 0) {
        while (pPort->m_bReaderRun.load(std::memory_order_acquire)) {
            if (!WaitForRxRoom(pPort))
                break;
            uint32_t dwMask = 0;
            const int32_t nWait = CommWaitEvent(hComm, &ovWait, pPort->m_hReaderStop, &dwMask);
            if (nWait == COMM_STOPPED || !pPort->m_bReaderRun.load(std::memory_order_acquire))
                break;
            if (nWait == COMM_FAILED && !PauseUnlessStopped(pPort->m_hReaderStop))
                break;
            bool bLost = nWait == COMM_LOST;
            if ((dwMask & EV_RXCHAR) != 0) {
                const int32_t nRead = ReceiveQueued(pPort, abyBlock);
                if (nRead == COMM_STOPPED)
                    break;
                bLost = bLost || nRead == COMM_LOST;
            }
            if ((dwMask & UART_MODEM_EVENTS) != 0) {
                uint32_t dwStatus = 0;
                if (CommGetModemStatus(hComm, &dwStatus) != 0)
                    pPort->m_dwModemStatus.store(dwStatus, std::memory_order_relaxed);
            }
            if ((dwMask & EV_TXEMPTY) != 0) {
                // Not finished while the ring still holds bytes; either way the writer goes on.
                if (pPort->m_pTxBuffer->GetCount() > 0)
                    dwMask &= ~EV_TXEMPTY;
                CommSetEvent(pPort->m_hTxReady);
            }
            if (bLost) {
                dwMask |= EV_ERR;
                pPort->m_bLineLost.store(true, std::memory_order_release);
            }
            if ((dwMask & EV_ERR) != 0) {
                uint32_t dwErrors = 0;
                if (CommClearError(hComm, &dwErrors, nullptr) != 0)
                    NoteDriverErrors(pPort, dwErrors);
            }
            pPort->OnCommEvent(dwMask);
            if (bLost) {
                // The device has gone: report it once, then only wait to be stopped.
                (void)CommWaitEvents(&pPort->m_hReaderStop, 1, -1);
                break;
            }
        }
    }
    CommCloseEvent(ovWait.hEvent);
    pPort->m_bReaderAlive.store(false, std::memory_order_release);
}

void CUartPort::WriterThread(CUartPort* pPort)
{
    pPort->m_bWriterAlive.store(true, std::memory_order_release);
    CTxChunk chunk;
    chunk.m_qwTaken = pPort->m_qwTxTaken.load(std::memory_order_relaxed);
    const COMM_EVENT ahWait[2] = { pPort->m_hWriterStop, pPort->m_hTxReady };
    bool bLost = false;
    while (pPort->m_bWriterRun.load(std::memory_order_acquire)) {
        const int32_t nIndex = CommWaitEvents(ahWait, 2, -1);
        if (!pPort->m_bWriterRun.load(std::memory_order_acquire) || nIndex == 0)
            break;
        if (nIndex != 1 && !PauseUnlessStopped(pPort->m_hWriterStop))
            break;
        CommResetEvent(pPort->m_hTxReady);
        ApplyTxPurge(pPort, chunk);
        pPort->m_qwTxTaken.store(chunk.m_qwTaken, std::memory_order_relaxed);
        pPort->m_qwTxFinished.store(chunk.Finished(), std::memory_order_release);
        if (bLost)
            continue;   // the device has gone: nothing more goes out until Close
        if (chunk.IsDone()) {
            if (pPort->m_pTxBuffer->GetCount() > 0) {
                const int32_t nRead = pPort->m_pTxBuffer->Read(chunk.m_abyData, UART_WRITE_CHUNK);
                chunk.m_dwLen = static_cast<uint32_t>(nRead);
                chunk.m_dwSent = 0;
                chunk.m_qwTaken += static_cast<uint64_t>(nRead);
                pPort->m_qwTxTaken.store(chunk.m_qwTaken, std::memory_order_relaxed);
                CommSetEvent(pPort->m_hTxReady);
            }
            continue;
        }
        uint32_t dwPut = 0;
        const int32_t nResult = CommWrite(pPort->m_hComm, chunk.m_abyData + chunk.m_dwSent,
            chunk.m_dwLen - chunk.m_dwSent, &pPort->m_ovWrite, pPort->m_hWriterStop, &dwPut);
        if (nResult == COMM_STOPPED || !pPort->m_bWriterRun.load(std::memory_order_acquire))
            break;
        if (nResult == COMM_DONE) {
            chunk.m_dwSent += dwPut;
            pPort->m_qwTxFinished.store(chunk.Finished(), std::memory_order_release);
        } else if (nResult == COMM_LOST) {
            bLost = true;
            pPort->m_bLineLost.store(true, std::memory_order_release);
            continue;
        } else if (nResult != COMM_ABORTED && !PauseUnlessStopped(pPort->m_hWriterStop)) {
            break;
        }
        if (!chunk.IsDone())
            CommSetEvent(pPort->m_hTxReady);
        std::this_thread::yield();
    }
    pPort->m_bWriterAlive.store(false, std::memory_order_release);
}
