// The comm layer's waits, reads and writes on the overlapped serial API. The
// event wait is an overlapped ReadFile (interval-only time-outs: pending until
// the first byte) beside the stop event and the port's wake; what it reads
// waits in the port's input queue for the next CommRead.
#include "serial/comm_win32.h"


namespace {

// While the driver still holds output, the wait looks again this often for EV_TXEMPTY.
constexpr DWORD TX_EMPTY_POLL_MS = 1;
constexpr int32_t COMM_NOTHING_YET = 2;   // internal: the wait goes on
// Timed waits end on the system's clock tick, 15.625 ms unless a program asks
// for a finer one.
constexpr int32_t WAIT_LATENESS_US = 15625;

// The event wait's own deadline: GetTickCount64 in milliseconds, 0 for none.
ULONGLONG DeadlineAfter(int32_t nTimeoutUs)
{
    return nTimeoutUs < 0 ? 0 : GetTickCount64() + (static_cast<ULONGLONG>(nTimeoutUs) + 999) / 1000;
}

// What one wait may last: the TX-empty poll, the deadline, or no limit.
DWORD WaitLimitMs(bool bTxWatch, ULONGLONG qwDeadline)
{
    DWORD dwMs = bTxWatch ? TX_EMPTY_POLL_MS : INFINITE;
    if (qwDeadline != 0) {
        const ULONGLONG qwNow = GetTickCount64();
        const DWORD dwLeft = qwNow >= qwDeadline ? 0 : static_cast<DWORD>(qwDeadline - qwNow);
        dwMs = dwMs == INFINITE ? dwLeft : (dwLeft < dwMs ? dwLeft : dwMs);
    }
    return dwMs;
}

bool IsPast(ULONGLONG qwDeadline)
{
    return qwDeadline != 0 && GetTickCount64() >= qwDeadline;
}

// A read's outcome: bytes go to the input queue (EV_RXCHAR); a failure is the
// device gone (EV_ERR) or another failure.
int32_t OnReadEnded(CWin32Comm* pComm, BOOL bOk, DWORD dwGot, uint32_t* pdwMask)
{
    if (bOk && dwGot > 0) {
        pComm->m_in.Filled(dwGot);
        *pdwMask |= EV_RXCHAR;
        return COMM_DONE;
    }
    if (bOk)
        return COMM_NOTHING_YET;
    const DWORD dwErr = GetLastError();
    if (CommIsGoneError(dwErr)) {
        *pdwMask = EV_ERR;
        return COMM_LOST;
    }
    return COMM_FAILED;
}

// Waits while the event wait's read is pending. Whatever ends the wait, the
// read has ended (or been cancelled) before this returns.
int32_t WaitPendingRead(COMM_HANDLE h, CWin32Comm* pComm, OVERLAPPED* pOv, HANDLE hStop, uint32_t dwChangesAtStart,
                        bool bTxWatch, ULONGLONG qwDeadline, uint32_t* pdwMask)
{
    const HANDLE ahWait[3] = {hStop, pOv->hEvent, pComm->m_hWake};
    for (;;) {
        const DWORD dwWait = WaitForMultipleObjects(3, ahWait, FALSE, WaitLimitMs(bTxWatch, qwDeadline));
        if (dwWait == WAIT_OBJECT_0 + 1) {
            DWORD dwGot = 0;
            const BOOL bOk = GetOverlappedResult(pComm->m_hFile, pOv, &dwGot, FALSE);
            return OnReadEnded(pComm, bOk, dwGot, pdwMask);
        }
        if (dwWait == WAIT_FAILED) {
            const DWORD dwErr = GetLastError();
            CommCancelAndCollect(pComm, pOv);
            CommFail(dwErr);
            return COMM_FAILED;
        }
        bool bEnd = dwWait == WAIT_OBJECT_0;
        bool bTxEmpty = false;
        if (!bEnd && pComm->m_dwMaskChanges.load(std::memory_order_acquire) != dwChangesAtStart)
            bEnd = true;   // a new mask ends the wait at once
        if (!bEnd && IsPast(qwDeadline))
            bEnd = true;   // so does the time running out
        if (!bEnd && (bTxWatch || pComm->m_bTxPending.load())) {
            bTxWatch = false;
            bTxEmpty = CommTakeReadyEvent(h, pComm->m_in, pComm->m_bTxPending, EV_TXEMPTY, pdwMask, &bTxWatch);
            bEnd = bTxEmpty;
        }
        if (!bEnd)
            continue;
        // Bytes that came in while we cancelled are kept, not lost; a new mask
        // still ends the wait with no events (the next wait reports them).
        const DWORD dwGot = CommCancelAndCollect(pComm, pOv);
        uint32_t dwIgnored = 0;
        if (dwGot > 0)
            OnReadEnded(pComm, TRUE, dwGot, bTxEmpty ? pdwMask : &dwIgnored);
        return dwWait == WAIT_OBJECT_0 ? COMM_STOPPED : COMM_DONE;
    }
}

// Waits for the stop event or the wake while no read is wanted (EV_RXCHAR not in the mask).
int32_t WaitWithoutRead(CWin32Comm* pComm, HANDLE hStop, uint32_t dwChangesAtStart, bool bTxWatch,
                        ULONGLONG qwDeadline)
{
    const HANDLE ahWait[2] = {hStop, pComm->m_hWake};
    const DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, WaitLimitMs(bTxWatch, qwDeadline));
    if (dwWait == WAIT_OBJECT_0)
        return COMM_STOPPED;
    if (dwWait == WAIT_FAILED)
        return COMM_FAILED;
    if (pComm->m_dwMaskChanges.load(std::memory_order_acquire) != dwChangesAtStart || IsPast(qwDeadline))
        return COMM_DONE;
    return COMM_NOTHING_YET;
}

} // namespace

int32_t CommClearError(COMM_HANDLE h, uint32_t* pdwErrors, uint32_t* pdwInQueue)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(ERROR_INVALID_HANDLE);
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(pComm->m_hFile, &dwErrors, &stat))
        return 0;
    dwErrors |= pComm->m_dwKeptErrors.exchange(0, std::memory_order_acq_rel);
    if (pdwErrors != nullptr)
        *pdwErrors = dwErrors;
    if (pdwInQueue != nullptr)
        *pdwInQueue = pComm->m_in.Queued() + stat.cbInQue;
    return 1;
}

int32_t CommWaitLatenessUs()
{
    return WAIT_LATENESS_US;
}

int32_t CommWaitEvent(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, uint32_t* pdwMask)
{
    return CommWaitEventFor(h, pOv, hStop, -1, pdwMask);
}

int32_t CommWaitEventFor(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, int32_t nTimeoutUs, uint32_t* pdwMask)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwMask == nullptr || pOv == nullptr || pOv->hEvent == 0) {
        CommFail(pComm == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return COMM_FAILED;
    }
    *pdwMask = 0;
    const uint32_t dwChangesAtStart = pComm->m_dwMaskChanges.load(std::memory_order_acquire);
    const ULONGLONG qwDeadline = DeadlineAfter(nTimeoutUs);
    for (;;) {
        const uint32_t dwMask = pComm->m_dwMask.load(std::memory_order_acquire);
        bool bTxWatch = false;
        if (CommTakeReadyEvent(h, pComm->m_in, pComm->m_bTxPending, dwMask, pdwMask, &bTxWatch))
            return COMM_DONE;
        int32_t nResult = COMM_NOTHING_YET;
        if ((dwMask & EV_RXCHAR) == 0) {
            nResult = WaitWithoutRead(pComm, EventHandle(hStop), dwChangesAtStart, bTxWatch, qwDeadline);
        } else {
            pComm->m_in.Queued();   // takes in a purge before the queue is refilled
            OVERLAPPED ov = {};
            ov.hEvent = EventHandle(pOv->hEvent);
            ResetEvent(ov.hEvent);
            DWORD dwGot = 0;
            if (ReadFile(pComm->m_hFile, pComm->m_in.FillArea(), CCommInQueue::SIZE, &dwGot, &ov))
                nResult = OnReadEnded(pComm, TRUE, dwGot, pdwMask);
            else if (GetLastError() != ERROR_IO_PENDING)
                nResult = OnReadEnded(pComm, FALSE, 0, pdwMask);
            else
                nResult = WaitPendingRead(h, pComm, &ov, EventHandle(hStop), dwChangesAtStart, bTxWatch, qwDeadline,
                                          pdwMask);
        }
        if (nResult != COMM_NOTHING_YET)
            return nResult;
    }
}

namespace {

// The port of a read or write whose arguments hold up, its count set to 0;
// null (error recorded) otherwise.
CWin32Comm* CommForTransfer(COMM_HANDLE h, const void* pBuffer, uint32_t dwLen, const COMM_OVERLAPPED* pOv,
                            uint32_t* pdwDone)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pBuffer == nullptr || pdwDone == nullptr || dwLen == 0 || pOv == nullptr
        || pOv->hEvent == 0) {
        CommFail(pComm == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *pdwDone = 0;
    return pComm;
}

// Waits for an overlapped read or write to end, the stop event, or an abort
// purge; the operation never outlives the call.
int32_t FinishIo(CWin32Comm* pComm, OVERLAPPED* pOv, HANDLE hStop, HANDLE hAbort,
                 const std::atomic<uint32_t>& dwAborts, uint32_t dwAbortsAtStart, DWORD* pdwMoved)
{
    const HANDLE ahWait[3] = {hStop, pOv->hEvent, hAbort};
    for (;;) {
        const DWORD dwWait = WaitForMultipleObjects(3, ahWait, FALSE, INFINITE);
        if (dwWait == WAIT_OBJECT_0 + 1) {
            if (GetOverlappedResult(pComm->m_hFile, pOv, pdwMoved, FALSE))
                return COMM_DONE;
            return CommIsGoneError(GetLastError()) ? COMM_LOST : COMM_FAILED;
        }
        // An abort counted before this operation began is not for it.
        if (dwWait == WAIT_OBJECT_0 + 2 && dwAborts.load(std::memory_order_acquire) == dwAbortsAtStart)
            continue;
        *pdwMoved = CommCancelAndCollect(pComm, pOv);
        if (*pdwMoved > 0)
            return COMM_DONE;   // what moved is reported, not lost
        return dwWait == WAIT_OBJECT_0 ? COMM_STOPPED : (dwWait == WAIT_OBJECT_0 + 2 ? COMM_ABORTED : COMM_FAILED);
    }
}

} // namespace

int32_t CommRead(COMM_HANDLE h, uint8_t* pDst, uint32_t dwLen, COMM_OVERLAPPED* pOv, COMM_EVENT hStop,
                 uint32_t* pdwRead)
{
    CWin32Comm* pComm = CommForTransfer(h, pDst, dwLen, pOv, pdwRead);
    if (pComm == nullptr)
        return COMM_FAILED;
    *pdwRead = pComm->m_in.Take(pDst, dwLen);
    if (*pdwRead > 0)
        return COMM_DONE;
    const uint32_t dwAbortsAtStart = pComm->m_dwRxAborts.load(std::memory_order_acquire);
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = EventHandle(pOv->hEvent);
        ResetEvent(ov.hEvent);
        DWORD dwGot = 0;
        int32_t nResult = COMM_DONE;
        if (!ReadFile(pComm->m_hFile, pDst, dwLen, &dwGot, &ov)) {
            const DWORD dwErr = GetLastError();
            if (dwErr != ERROR_IO_PENDING)
                return CommIsGoneError(dwErr) ? COMM_LOST : COMM_FAILED;
            nResult = FinishIo(pComm, &ov, EventHandle(hStop), pComm->m_hRxAbort, pComm->m_dwRxAborts,
                               dwAbortsAtStart, &dwGot);
        }
        if (nResult != COMM_DONE || dwGot > 0) {
            *pdwRead = dwGot;
            return nResult;
        }
    }
}

int32_t CommWrite(COMM_HANDLE h, const uint8_t* pSrc, uint32_t dwLen, COMM_OVERLAPPED* pOv, COMM_EVENT hStop,
                  uint32_t* pdwWritten)
{
    CWin32Comm* pComm = CommForTransfer(h, pSrc, dwLen, pOv, pdwWritten);
    if (pComm == nullptr)
        return COMM_FAILED;
    const uint32_t dwAbortsAtStart = pComm->m_dwTxAborts.load(std::memory_order_acquire);
    OVERLAPPED ov = {};
    ov.hEvent = EventHandle(pOv->hEvent);
    ResetEvent(ov.hEvent);
    DWORD dwPut = 0;
    int32_t nResult = COMM_DONE;
    if (!WriteFile(pComm->m_hFile, pSrc, dwLen, &dwPut, &ov)) {
        const DWORD dwErr = GetLastError();
        if (dwErr != ERROR_IO_PENDING)
            return CommIsGoneError(dwErr) ? COMM_LOST : COMM_FAILED;
        nResult = FinishIo(pComm, &ov, EventHandle(hStop), pComm->m_hTxAbort, pComm->m_dwTxAborts, dwAbortsAtStart,
                           &dwPut);
    }
    *pdwWritten = dwPut;
    if (nResult == COMM_DONE && dwPut > 0) {
        pComm->m_bTxPending.store(true);
        SetEvent(pComm->m_hWake);   // the event wait now watches for EV_TXEMPTY
    }
    return nResult;
}
