// The serial port's reader and writer thread bodies.
#include "serial/uart_port.h"

#include <algorithm>
#include <chrono>

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

// Dense traffic in small pieces (a dongle reporting frame after frame) would
// wake the reader once per piece. While pieces keep coming at a modest rate, the
// reader lets them gather for a few milliseconds before it waits again: one
// wake-up then moves several pieces, at a latency far below anything the owner
// waits for. A fast stream is never held back, so the driver's small input
// buffer cannot fill during a pause.
constexpr int32_t RX_GATHER_MS = 4;
constexpr uint64_t RX_GATHER_MAX_BYTES = 1024;   // most a pause may let gather
constexpr auto RX_DENSE_GAP = std::chrono::milliseconds(2 * RX_GATHER_MS);

class CRxGather {
public:
    // After a pass that moved dwMoved bytes: false when the stop event ended the pause.
    bool AfterPass(uint32_t dwMoved, COMM_EVENT hStop)
    {
        if (dwMoved == 0)
            return true;
        const auto tmNow = std::chrono::steady_clock::now();
        const auto tmGap = tmNow - m_tmLast;
        const bool bDense = m_bSeen && tmGap < RX_DENSE_GAP;
        m_tmLast = tmNow;
        m_bSeen = true;
        if (!bDense)
            return true;
        // The bytes a pause would let gather at the rate of this last pass.
        const int64_t nGapUs = std::max<int64_t>(1,
            std::chrono::duration_cast<std::chrono::microseconds>(tmGap).count());
        const uint64_t qwExpected = uint64_t { dwMoved } * (RX_GATHER_MS * 1000) / static_cast<uint64_t>(nGapUs);
        if (qwExpected >= RX_GATHER_MAX_BYTES)
            return true;
        return CommWaitEvents(&hStop, 1, RX_GATHER_MS) != 0;
    }

private:
    bool m_bSeen = false;
    std::chrono::steady_clock::time_point m_tmLast;
};

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

// Moves the bytes queued in the driver into the receive ring, counting what does
// not fit. Returns the result of the last read (COMM_DONE when all went well)
// and adds the bytes moved to *pdwMoved.
int32_t ReceiveQueued(CUartPort* pPort, uint8_t* pBlock, uint32_t* pdwMoved)
{
    uint32_t dwQueued = 0;
    if (CommClearError(pPort->m_hComm, nullptr, &dwQueued) == 0)
        return COMM_DONE;   // the next wait tells whether the device is still there
    while (dwQueued > 0) {
        uint32_t dwGot = 0;
        const uint32_t dwAsk = std::min<uint32_t>(dwQueued, UART_READ_BLOCK);
        // Each read is finished (or given up) before the next one starts on the same record.
        const int32_t nResult = CommRead(pPort->m_hComm, pBlock, dwAsk, &pPort->m_ovRead,
            pPort->m_hReaderStop, &dwGot);
        if (nResult != COMM_DONE)
            return nResult;
        const int32_t nStored = pPort->m_pRxBuffer->Write(pBlock, static_cast<int32_t>(dwGot));
        if (static_cast<uint32_t>(nStored) < dwGot)
            pPort->m_qwRxOverflow.fetch_add(dwGot - static_cast<uint32_t>(nStored), std::memory_order_relaxed);
        dwQueued -= std::min(dwGot, dwQueued);
        *pdwMoved += dwGot;
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
    CRxGather gather;
    const COMM_HANDLE hComm = pPort->m_hComm;
    if (CommSetMask(hComm, UART_READER_MASK) != 0) {
        while (pPort->m_bReaderRun.load(std::memory_order_acquire)) {
            uint32_t dwMask = 0;
            const int32_t nWait = CommWaitEvent(hComm, &ovWait, pPort->m_hReaderStop, &dwMask);
            if (nWait == COMM_STOPPED || !pPort->m_bReaderRun.load(std::memory_order_acquire))
                break;
            if (nWait == COMM_FAILED && !PauseUnlessStopped(pPort->m_hReaderStop))
                break;
            bool bLost = nWait == COMM_LOST;
            uint32_t dwMoved = 0;
            if ((dwMask & EV_RXCHAR) != 0) {
                const int32_t nRead = ReceiveQueued(pPort, abyBlock, &dwMoved);
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
            if ((dwMask & EV_ERR) != 0)
                (void)CommClearError(hComm, nullptr, nullptr);
            pPort->OnCommEvent(dwMask);
            if (bLost) {
                // The device has gone: report it once, then only wait to be stopped.
                (void)CommWaitEvents(&pPort->m_hReaderStop, 1, -1);
                break;
            }
            if (!gather.AfterPass(dwMoved, pPort->m_hReaderStop))
                break;
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
