// Writing to the pipe's client and the wake that ends waits and writes: a
// manual-reset event waited on beside each overlapped write.
#include "pcap/pipe_win32.h"

// A block cut by the wake is finished first, for at most this long: a client
// that is reading takes the rest at once, and one cut off never holds half.
static constexpr DWORD PIPE_FINISH_BLOCK_MS = 1000;

PIPE_WAKE PipeWakeCreate(COsError* pError)
{
    const HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pError != nullptr)
        *pError = hEvent == nullptr ? OsLastError() : COsError();
    return hEvent == nullptr ? INVALID_PIPE_WAKE : reinterpret_cast<PIPE_WAKE>(hEvent);
}

void PipeWakeSignal(PIPE_WAKE hWake)
{
    if (WakeEvent(hWake) != nullptr)
        SetEvent(WakeEvent(hWake));
}

void PipeWakeReset(PIPE_WAKE hWake)
{
    if (WakeEvent(hWake) != nullptr)
        ResetEvent(WakeEvent(hWake));
}

void PipeWakeClose(PIPE_WAKE hWake)
{
    if (WakeEvent(hWake) != nullptr)
        CloseHandle(WakeEvent(hWake));
}

bool PipeNoWaitIsExact()
{
    return false;   // a pending write cancelled may have been read in part
}

int32_t PipeWrite(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, PIPE_WAKE hWake, int32_t* pnResult)
{
    const uint32_t dwEnd = nLen > 0 ? static_cast<uint32_t>(nLen) : 0;
    return PipeWriteBlocks(hPipe, pData, nLen, &dwEnd, 1, hWake, pnResult);
}

namespace {

constexpr int32_t WRITE_MOVED = 0;
constexpr int32_t WRITE_GONE = 1;
constexpr int32_t WRITE_WOKEN = 2;

// One overlapped write of dwLen bytes, waited for until it ends, the wake
// fires (hWake may be null) or dwLimitMs passes; a write that did not end is
// cancelled. *pdwMoved gets what reached the pipe.
int32_t WriteOnce(CPipeInstance* pInst, const uint8_t* p, DWORD dwLen, HANDLE hWake, DWORD dwLimitMs,
                  DWORD* pdwMoved)
{
    OVERLAPPED ov = {};
    ov.hEvent = pInst->m_hIoDone;
    ResetEvent(pInst->m_hIoDone);
    *pdwMoved = 0;
    if (!WriteFile(pInst->m_hPipe, p, dwLen, nullptr, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return WRITE_GONE;   // 232, 233, 109: the client has gone or none is there
        const HANDLE ahWait[2] = {pInst->m_hIoDone, hWake};
        const DWORD dwWait = WaitForMultipleObjects(hWake != nullptr ? 2 : 1, ahWait, FALSE, dwLimitMs);
        if (dwWait != WAIT_OBJECT_0) {
            *pdwMoved = PipeCancelAndCollect(pInst->m_hPipe, &ov);
            return *pdwMoved == dwLen ? WRITE_MOVED : WRITE_WOKEN;
        }
    }
    if (!GetOverlappedResult(pInst->m_hPipe, &ov, pdwMoved, FALSE))
        return WRITE_GONE;
    return WRITE_MOVED;
}

// The end of the block that holds offset dwDone, or 0 when dwDone is at a
// boundary. Offset 0 is inside the first block when the client already has
// dwHeadSent bytes of it.
uint32_t CutBlockEnd(const uint32_t* pdwEnds, int32_t nEnds, uint32_t dwDone, uint32_t dwHeadSent)
{
    uint32_t dwStart = 0;
    for (int32_t i = 0; i < nEnds; ++i) {
        if (pdwEnds[i] > dwDone)
            return dwDone > dwStart || (i == 0 && dwHeadSent > 0) ? pdwEnds[i] : 0;
        dwStart = pdwEnds[i];
    }
    return 0;
}

} // namespace

int32_t PipeWriteBlocks(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, const uint32_t* pdwEnds, int32_t nEnds,
                        PIPE_WAKE hWake, int32_t* pnResult, uint32_t dwHeadSent)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->Serves() || pData == nullptr || nLen <= 0) {
        if (pnResult != nullptr)
            *pnResult = pInst != nullptr && pInst->Serves() ? PIPE_IO_DONE : PIPE_IO_GONE;
        return 0;
    }
    const HANDLE hWakeEvent = WakeEvent(hWake);
    const DWORD dwLimitMs = hWake == PIPE_WAKE_NO_WAIT ? 0 : INFINITE;
    int32_t nResult = PIPE_IO_DONE;
    uint32_t dwDone = 0;
    const uint32_t dwLen = static_cast<uint32_t>(nLen);
    // What the pipe takes at once goes in even with the wake set, as on POSIX;
    // only a wait for the client ends at the wake.
    while (dwDone < dwLen) {
        DWORD dwMoved = 0;
        const int32_t nWrite = WriteOnce(pInst, pData + dwDone, dwLen - dwDone, hWakeEvent, dwLimitMs, &dwMoved);
        dwDone += dwMoved;
        if (nWrite == WRITE_GONE) {
            nResult = PIPE_IO_GONE;
            break;
        }
        if (nWrite == WRITE_WOKEN) {
            nResult = PIPE_IO_CANCELLED;
            if (hWake == PIPE_WAKE_NO_WAIT)
                break;   // the caller writes the rest, a cut block too, later
            // The client holds part of a block: it gets the rest before we stop.
            const uint32_t dwBlockEnd = CutBlockEnd(pdwEnds, nEnds, dwDone, dwHeadSent);
            if (dwBlockEnd != 0 && dwBlockEnd <= dwLen) {
                const int32_t nFinish = WriteOnce(pInst, pData + dwDone, dwBlockEnd - dwDone, nullptr,
                                                  PIPE_FINISH_BLOCK_MS, &dwMoved);
                dwDone += dwMoved;
                if (nFinish == WRITE_GONE)
                    nResult = PIPE_IO_GONE;
            }
            break;
        }
    }
    if (pnResult != nullptr)
        *pnResult = nResult;
    return static_cast<int32_t>(dwDone);
}
