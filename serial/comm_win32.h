// Shared between the Win32 halves of the comm layer; not for use above it.
// comm_api.h comes first: <windows.h> then defines the same values as macros.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_api.h"
#include "serial/comm_in_queue.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// An open port.
struct CWin32Comm {
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    HANDLE m_hWake = nullptr;      // auto-reset: the mask changed or bytes were written
    HANDLE m_hRxAbort = nullptr;   // auto-reset: a purge with PURGE_RXABORT
    HANDLE m_hTxAbort = nullptr;   // auto-reset: a purge with PURGE_TXABORT
    std::atomic<uint32_t> m_dwMask { 0 };
    std::atomic<uint32_t> m_dwMaskChanges { 0 };
    std::atomic<bool> m_bTxPending { false };  // written since the last EV_TXEMPTY
    std::atomic<bool> m_bNoModemLines { false };
    // Error bits a ClearCommError made only for the output queue's size took
    // away; the next CommClearError reports them (an overrun must make a gap).
    std::atomic<uint32_t> m_dwKeptErrors { 0 };
    std::atomic<uint32_t> m_dwRxAborts { 0 };
    std::atomic<uint32_t> m_dwTxAborts { 0 };
    CCommInQueue m_in;   // what the event wait's read brought in
};

CWin32Comm* CommFromHandle(COMM_HANDLE h);
int32_t CommFail(DWORD dwError);   // sets the last error, returns 0
// The other end has gone: the errors Wine (109, 21) and USB serial drivers on
// Windows give for a port whose device went away.
bool CommIsGoneError(DWORD dwError);
// Cancels the overlapped operation on ov (if still pending), waits for it to
// end and returns the bytes it moved.
DWORD CommCancelAndCollect(CWin32Comm* pComm, OVERLAPPED* pOv);

inline HANDLE EventHandle(COMM_EVENT h)
{
    return reinterpret_cast<HANDLE>(h);
}
