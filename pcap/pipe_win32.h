// The named-pipe instance behind a PIPE_HANDLE and the event behind a
// PIPE_WAKE, shared by the Win32 pipe files.
#pragma once

#include <string>

#include <windows.h>

#include "pcap/pipe_api.h"

class CPipeInstance {
public:
    HANDLE m_hPipe = INVALID_HANDLE_VALUE;
    HANDLE m_hIoDone = nullptr;   // manual-reset: the overlapped operation at hand has ended
    bool m_bConnected = false;
    std::string m_strPath;
};

inline CPipeInstance* FromHandle(PIPE_HANDLE hPipe)
{
    return hPipe == INVALID_PIPE_HANDLE ? nullptr : reinterpret_cast<CPipeInstance*>(hPipe);
}

inline HANDLE WakeEvent(PIPE_WAKE hWake)
{
    return hWake == INVALID_PIPE_WAKE ? nullptr : reinterpret_cast<HANDLE>(hWake);
}

// The pipe's state and write quota as the file system keeps them; false when
// the system cannot say.
struct CPipeLocalState {
    ULONG m_dwState = 0;          // FILE_PIPE_*_STATE
    ULONG m_dwQuota = 0;          // the outbound buffer
    ULONG m_dwQuotaFree = 0;      // what the client has not yet read is missing from it
};
bool PipeQueryLocalState(HANDLE hPipe, CPipeLocalState* pState);

// Cancels the overlapped operation on ov (if still pending) and waits for it
// to end, so that ov and the buffer are free again. Returns the bytes it moved.
DWORD PipeCancelAndCollect(HANDLE hPipe, OVERLAPPED* pOv);
