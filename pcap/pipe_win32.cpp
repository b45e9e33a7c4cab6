// The Wireshark pipe as the named pipe "\\.\pipe\wireshark0": one outbound,
// overlapped byte-mode instance that refuses remote clients, so that captured
// traffic is never offered to the network. Connects wait with the wake beside
// them; a second program's instance is refused (Busy).
#include "pcap/pipe_win32.h"

#include <winternl.h>

static const char* const PIPE_NAME = "\\\\.\\pipe\\wireshark0";
static constexpr DWORD PIPE_OUT_BUFFER = 64 * 1024;   // about 40 ms of a busy capture
static constexpr DWORD PIPE_IN_BUFFER = 0;            // the client never writes
static constexpr ULONG PIPE_STATE_CONNECTED_NT = 3;   // FILE_PIPE_CONNECTED_STATE
static constexpr ULONG PIPE_STATE_CLOSING_NT = 4;     // FILE_PIPE_CLOSING_STATE: the client closed
// Before a forced disconnect (which throws away what the client has not read),
// the client gets this long to read what it was sent.
static constexpr DWORD PIPE_DRAIN_MAX_MS = 500;
static constexpr DWORD PIPE_DRAIN_POLL_MS = 5;

typedef NTSTATUS(NTAPI* PFN_NT_QUERY_FILE)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

static PFN_NT_QUERY_FILE NtQueryFile()
{
    static const PFN_NT_QUERY_FILE s_pfn = [] {
        const HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
        FARPROC pfn = hNtdll != nullptr ? GetProcAddress(hNtdll, "NtQueryInformationFile") : nullptr;
        return reinterpret_cast<PFN_NT_QUERY_FILE>(reinterpret_cast<void (*)()>(pfn));
    }();
    return s_pfn;
}

bool PipeQueryLocalState(HANDLE hPipe, CPipeLocalState* pState)
{
    const PFN_NT_QUERY_FILE pfnQuery = NtQueryFile();
    if (pfnQuery == nullptr)
        return false;
    IO_STATUS_BLOCK iosb = {};
    FILE_PIPE_LOCAL_INFORMATION info = {};
    if (pfnQuery(hPipe, &iosb, &info, sizeof(info), FilePipeLocalInformation) < 0)
        return false;
    pState->m_dwState = info.NamedPipeState;
    pState->m_dwQuota = info.OutboundQuota;
    pState->m_dwQuotaFree = info.WriteQuotaAvailable;
    return true;
}

DWORD PipeCancelAndCollect(HANDLE hPipe, OVERLAPPED* pOv)
{
    CancelIoEx(hPipe, pOv);   // fails when it has ended already: nothing to cancel
    DWORD dwMoved = 0;
    GetOverlappedResult(hPipe, pOv, &dwMoved, TRUE);   // a cancelled one still says what it moved
    return dwMoved;
}

static void SetError(COsError* pError, const COsError& err)
{
    if (pError != nullptr)
        *pError = err;
}

std::string PipeDefaultPath()
{
    return PIPE_NAME;
}

PIPE_HANDLE PipeCreateInstance(COsError* pError)
{
    const HANDLE hPipe = CreateNamedPipeA(PIPE_NAME,
        PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, PIPE_OUT_BUFFER, PIPE_IN_BUFFER, 0, nullptr);
    if (hPipe == INVALID_HANDLE_VALUE) {
        const DWORD dwErr = GetLastError();
        COsError err = OsErrorFromCode(static_cast<int32_t>(dwErr));
        // The first-instance flag answers "access denied" when another program holds the name.
        if (dwErr == ERROR_ACCESS_DENIED || dwErr == ERROR_PIPE_BUSY)
            err.m_eKind = EOsError::Busy;
        SetError(pError, err);
        return INVALID_PIPE_HANDLE;
    }
    const HANDLE hIoDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hIoDone == nullptr) {
        SetError(pError, OsLastError());
        CloseHandle(hPipe);
        return INVALID_PIPE_HANDLE;
    }
    CPipeInstance* pInst = new CPipeInstance;
    pInst->m_hPipe = hPipe;
    pInst->m_hIoDone = hIoDone;
    pInst->m_strPath = PIPE_NAME;
    SetError(pError, COsError());
    return reinterpret_cast<PIPE_HANDLE>(pInst);
}

std::string PipeInstancePath(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr ? pInst->m_strPath : std::string();
}

// Starts the overlapped connect. ERROR_IO_PENDING, or 0 when a client is
// there already, or the failure's code.
static DWORD StartConnect(CPipeInstance* pInst, OVERLAPPED* pOv)
{
    for (int nTry = 0; nTry < 2; ++nTry) {
        ResetEvent(pInst->m_hIoDone);
        *pOv = OVERLAPPED();
        pOv->hEvent = pInst->m_hIoDone;
        if (ConnectNamedPipe(pInst->m_hPipe, pOv))
            return 0;
        const DWORD dwErr = GetLastError();
        if (dwErr == ERROR_PIPE_CONNECTED)
            return 0;
        if (dwErr != ERROR_NO_DATA)
            return dwErr;
        // A client came and went before we looked: free the instance and wait anew.
        DisconnectNamedPipe(pInst->m_hPipe);
    }
    return ERROR_NO_DATA;
}

int32_t PipeWaitForClient(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs, COsError* pError, PIPE_WAKE hWake)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr) {
        SetError(pError, OsErrorFromCode(ERROR_INVALID_HANDLE));
        return PIPE_WAIT_ERROR;
    }
    if (pInst->m_bConnected)
        return PIPE_WAIT_CONNECTED;
    const HANDLE hWakeEvent = WakeEvent(hWake);
    if (hWakeEvent != nullptr && WaitForSingleObject(hWakeEvent, 0) == WAIT_OBJECT_0)
        return PIPE_WAIT_CANCELLED;
    OVERLAPPED ov;
    const DWORD dwStart = StartConnect(pInst, &ov);
    if (dwStart == 0) {
        pInst->m_bConnected = true;
        return PIPE_WAIT_CONNECTED;
    }
    if (dwStart != ERROR_IO_PENDING) {
        SetError(pError, OsErrorFromCode(static_cast<int32_t>(dwStart)));
        return PIPE_WAIT_ERROR;
    }
    const HANDLE ahWait[2] = {pInst->m_hIoDone, hWakeEvent};
    const DWORD dwWait = WaitForMultipleObjects(hWakeEvent != nullptr ? 2 : 1, ahWait, FALSE, dwTimeoutMs);
    if (dwWait != WAIT_OBJECT_0)
        CancelIoEx(pInst->m_hPipe, &ov);
    // The connect has ended either way now; a client that won the race counts.
    DWORD dwIgnored = 0;
    if (GetOverlappedResult(pInst->m_hPipe, &ov, &dwIgnored, TRUE) || GetLastError() == ERROR_PIPE_CONNECTED) {
        pInst->m_bConnected = true;
        return dwWait == WAIT_OBJECT_0 + 1 ? PIPE_WAIT_CANCELLED : PIPE_WAIT_CONNECTED;
    }
    if (dwWait == WAIT_OBJECT_0 + 1)
        return PIPE_WAIT_CANCELLED;
    if (dwWait == WAIT_TIMEOUT) {
        SetError(pError, OsErrorFromCode(WAIT_TIMEOUT));
        return PIPE_WAIT_TIMEOUT;
    }
    SetError(pError, OsLastError());
    return PIPE_WAIT_ERROR;
}

bool PipeHasClient(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr && pInst->m_bConnected;
}

// DisconnectNamedPipe throws away what the client has not read yet: give a
// client that is still reading a short while to take the end of the stream.
static void LetClientDrain(const CPipeInstance* pInst)
{
    for (DWORD dwWaited = 0; dwWaited < PIPE_DRAIN_MAX_MS; dwWaited += PIPE_DRAIN_POLL_MS) {
        CPipeLocalState state;
        if (!PipeQueryLocalState(pInst->m_hPipe, &state) || state.m_dwState != PIPE_STATE_CONNECTED_NT
            || state.m_dwQuotaFree >= state.m_dwQuota)
            return;
        Sleep(PIPE_DRAIN_POLL_MS);
    }
}

void PipeReleaseClient(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->m_bConnected)
        return;
    DisconnectNamedPipe(pInst->m_hPipe);
    pInst->m_bConnected = false;
}

void PipeDisconnectClient(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->m_bConnected)
        return;
    LetClientDrain(pInst);
    PipeReleaseClient(hPipe);
}

bool PipeClientGone(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->m_bConnected)
        return true;
    CPipeLocalState state;
    return PipeQueryLocalState(pInst->m_hPipe, &state) && state.m_dwState == PIPE_STATE_CLOSING_NT;
}

void PipeCloseInstance(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr)
        return;
    PipeDisconnectClient(hPipe);
    CloseHandle(pInst->m_hPipe);
    CloseHandle(pInst->m_hIoDone);
    delete pInst;
}
