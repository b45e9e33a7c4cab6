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
    HANDLE m_hConnectDone = nullptr;   // manual-reset: the pending connect has ended
    HANDLE m_hQuery = nullptr;    // the pipe again, with the right to read its state
    // Between clients a connect stays pending, so that a client that comes
    // while nobody waits (a Wireshark restarting its capture) is let in.
    OVERLAPPED m_ovConnect = {};
    bool m_bListening = false;
    bool m_bConnected = false;
    // A client cut off by PipeDisconnectClient gets nothing more but keeps what
    // it was sent: m_hDrain lets it read the rest, then disconnects it and
    // listens again. Only the thread that joins m_hDrain touches the connect
    // state meanwhile (PipeWaitForClient, PipeCloseInstance).
    bool m_bCutOff = false;
    HANDLE m_hDrain = nullptr;
    DWORD m_dwCutOffTick = 0;
    std::string m_strPath;

    // A client is there and gets what is written (m_bCutOff first: while it is
    // set, m_bConnected belongs to the drain thread).
    bool Serves() const { return !m_bCutOff && m_bConnected; }
};

inline CPipeInstance* FromHandle(PIPE_HANDLE hPipe)
{
    return hPipe == INVALID_PIPE_HANDLE ? nullptr : reinterpret_cast<CPipeInstance*>(hPipe);
}

inline HANDLE WakeEvent(PIPE_WAKE hWake)
{
    return hWake == INVALID_PIPE_WAKE || hWake == PIPE_WAKE_NO_WAIT ? nullptr : reinterpret_cast<HANDLE>(hWake);
}

constexpr ULONG PIPE_STATE_DISCONNECTED_NT = 1;   // FILE_PIPE_DISCONNECTED_STATE
constexpr ULONG PIPE_STATE_CLOSING_NT = 4;        // FILE_PIPE_CLOSING_STATE: the other end closed

// The state of the pipe behind h (either end, opened with the right to read
// its attributes) as the file system keeps it (FILE_PIPE_*_STATE); false when
// the system cannot say.
bool PipeHandleState(HANDLE h, ULONG* pdwState);
// The same for an instance of ours.
bool PipeQueryState(const CPipeInstance* pInst, ULONG* pdwState);

// Cancels the overlapped operation on ov (if still pending) and waits for it
// to end, so that ov and the buffer are free again. Returns the bytes it moved.
DWORD PipeCancelAndCollect(HANDLE hPipe, OVERLAPPED* pOv);
