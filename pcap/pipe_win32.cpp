// The Wireshark pipe as the named pipe "\\.\pipe\wireshark0": one outbound,
// overlapped byte-mode instance that refuses remote clients, so that captured
// traffic is never offered to the network. Connects wait with the wake beside
// them; a second program's instance is refused (Busy).
#include "pcap/pipe_win32.h"

#include <winternl.h>

static const char* const PIPE_NAME = "\\\\.\\pipe\\wireshark0";
static constexpr DWORD PIPE_OUT_BUFFER = 64 * 1024;   // about 40 ms of a busy capture
static constexpr DWORD PIPE_IN_BUFFER = 0;            // the client never writes
// Before a forced disconnect (which throws away what the client has not read),
// a client cut off gets this long from the cut to read what it was sent.
static constexpr DWORD PIPE_DRAIN_MAX_MS = 2000;
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

bool PipeHandleState(HANDLE h, ULONG* pdwState)
{
    const PFN_NT_QUERY_FILE pfnQuery = NtQueryFile();
    if (pfnQuery == nullptr || h == nullptr || h == INVALID_HANDLE_VALUE)
        return false;
    IO_STATUS_BLOCK iosb = {};
    FILE_PIPE_LOCAL_INFORMATION info = {};
    if (pfnQuery(h, &iosb, &info, sizeof(info), FilePipeLocalInformation) < 0)
        return false;
    *pdwState = info.NamedPipeState;
    return true;
}

bool PipeQueryState(const CPipeInstance* pInst, ULONG* pdwState)
{
    return PipeHandleState(pInst->m_hQuery, pdwState);
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
    const HANDLE hConnectDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hIoDone == nullptr || hConnectDone == nullptr) {
        SetError(pError, OsLastError());
        for (HANDLE h : {hIoDone, hConnectDone, hPipe}) {
            if (h != nullptr)
                CloseHandle(h);
        }
        return INVALID_PIPE_HANDLE;
    }
    CPipeInstance* pInst = new CPipeInstance;
    pInst->m_hPipe = hPipe;
    pInst->m_hIoDone = hIoDone;
    pInst->m_hConnectDone = hConnectDone;
    // An outbound end may not read its own state (Wine); a second handle may.
    // Without one, the client's going is found by the next write instead.
    if (!DuplicateHandle(GetCurrentProcess(), hPipe, GetCurrentProcess(), &pInst->m_hQuery, FILE_READ_ATTRIBUTES,
                         FALSE, 0))
        pInst->m_hQuery = nullptr;
    pInst->m_strPath = PIPE_NAME;
    SetError(pError, COsError());
    return reinterpret_cast<PIPE_HANDLE>(pInst);
}

std::string PipeInstancePath(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr ? pInst->m_strPath : std::string();
}

// Starts the instance's connect unless one is pending or a client is there.
// 0 or the failure's code.
static DWORD Listen(CPipeInstance* pInst)
{
    for (int nTry = 0; nTry < 2 && !pInst->m_bListening && !pInst->m_bConnected; ++nTry) {
        pInst->m_ovConnect = OVERLAPPED();
        pInst->m_ovConnect.hEvent = pInst->m_hConnectDone;
        ResetEvent(pInst->m_hConnectDone);
        const BOOL bDone = ConnectNamedPipe(pInst->m_hPipe, &pInst->m_ovConnect);
        const DWORD dwErr = bDone ? ERROR_PIPE_CONNECTED : GetLastError();
        if (dwErr == ERROR_PIPE_CONNECTED)
            pInst->m_bConnected = true;
        else if (dwErr == ERROR_IO_PENDING)
            pInst->m_bListening = true;
        else if (dwErr == ERROR_NO_DATA)
            DisconnectNamedPipe(pInst->m_hPipe);   // a client came and went before we looked
        else
            return dwErr;
    }
    return pInst->m_bListening || pInst->m_bConnected ? 0 : static_cast<DWORD>(ERROR_NO_DATA);
}

// Looks at the pending connect (waiting for its end when bWait).
static void TakeConnectResult(CPipeInstance* pInst, BOOL bWait)
{
    DWORD dwIgnored = 0;
    const BOOL bOk = GetOverlappedResult(pInst->m_hPipe, &pInst->m_ovConnect, &dwIgnored, bWait);
    const DWORD dwErr = bOk ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
    if (dwErr == ERROR_IO_INCOMPLETE)
        return;   // still pending
    pInst->m_bListening = false;
    pInst->m_bConnected = bOk || dwErr == ERROR_PIPE_CONNECTED;
}

// DisconnectNamedPipe throws away what the client has not read yet, so a
// client cut off is disconnected on a thread of its own once it has read
// everything (FlushFileBuffers waits for that, or fails when the client has
// gone or the flush is cancelled); then the instance listens for the next one.
static DWORD WINAPI DrainThenDisconnect(void* pvInst)
{
    CPipeInstance* pInst = static_cast<CPipeInstance*>(pvInst);
    FlushFileBuffers(pInst->m_hPipe);
    DisconnectNamedPipe(pInst->m_hPipe);
    pInst->m_bConnected = false;
    Listen(pInst);   // a failure shows at the next wait
    return 0;
}

// Ends the cut-off of a client where waiting is allowed: it may go on reading
// until PIPE_DRAIN_MAX_MS after the cut or until hWake (may be null) fires;
// then what it has not read is dropped.
static void FinishCutOff(CPipeInstance* pInst, HANDLE hWake)
{
    if (!pInst->m_bCutOff)
        return;
    if (pInst->m_hDrain != nullptr) {
        const DWORD dwSpent = GetTickCount() - pInst->m_dwCutOffTick;
        const DWORD dwLeft = dwSpent < PIPE_DRAIN_MAX_MS ? PIPE_DRAIN_MAX_MS - dwSpent : 0;
        const HANDLE ahWait[2] = {pInst->m_hDrain, hWake};
        if (WaitForMultipleObjects(hWake != nullptr ? 2 : 1, ahWait, FALSE, dwLeft) != WAIT_OBJECT_0) {
            // The cancel may come before the thread has entered the flush: try until it ends.
            do
                CancelSynchronousIo(pInst->m_hDrain);
            while (WaitForSingleObject(pInst->m_hDrain, PIPE_DRAIN_POLL_MS) != WAIT_OBJECT_0);
        }
        CloseHandle(pInst->m_hDrain);
        pInst->m_hDrain = nullptr;
    } else if (pInst->m_bConnected) {
        DisconnectNamedPipe(pInst->m_hPipe);   // no thread to wait with: the client sees the end now
        pInst->m_bConnected = false;
    }
    pInst->m_bCutOff = false;
}

int32_t PipeWaitForClient(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs, COsError* pError, PIPE_WAKE hWake)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr) {
        SetError(pError, OsErrorFromCode(ERROR_INVALID_HANDLE));
        return PIPE_WAIT_ERROR;
    }
    const HANDLE hWakeEvent = WakeEvent(hWake);
    FinishCutOff(pInst, hWakeEvent);   // the time a cut-off client takes is not the next one's
    const DWORD dwStart = GetTickCount();
    for (;;) {
        const DWORD dwListen = Listen(pInst);
        if (dwListen != 0) {
            SetError(pError, OsErrorFromCode(static_cast<int32_t>(dwListen)));
            return PIPE_WAIT_ERROR;
        }
        if (pInst->m_bConnected)
            return PIPE_WAIT_CONNECTED;
        const DWORD dwSpent = GetTickCount() - dwStart;
        const DWORD dwLeft = dwSpent < dwTimeoutMs ? dwTimeoutMs - dwSpent : 0;
        const HANDLE ahWait[2] = {pInst->m_hConnectDone, hWakeEvent};
        const DWORD dwWait = WaitForMultipleObjects(hWakeEvent != nullptr ? 2 : 1, ahWait, FALSE, dwLeft);
        TakeConnectResult(pInst, FALSE);
        if (pInst->m_bConnected)
            return PIPE_WAIT_CONNECTED;
        if (dwWait == WAIT_OBJECT_0 + 1)
            return PIPE_WAIT_CANCELLED;   // the connect stays pending for the next wait
        if (dwWait == WAIT_TIMEOUT) {
            SetError(pError, OsErrorFromCode(WAIT_TIMEOUT));
            return PIPE_WAIT_TIMEOUT;
        }
        if (dwWait != WAIT_OBJECT_0) {
            SetError(pError, OsLastError());
            return PIPE_WAIT_ERROR;
        }
        // The connect ended without a client (one came and went): listen again.
    }
}

bool PipeHasClient(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr && pInst->Serves();
}

void PipeReleaseClient(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->Serves())
        return;
    DisconnectNamedPipe(pInst->m_hPipe);
    pInst->m_bConnected = false;
    Listen(pInst);   // a failure shows at the next wait
}

void PipeDisconnectClient(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->Serves())
        return;
    // Returns at once: the window thread never waits for a reader.
    pInst->m_bCutOff = true;
    pInst->m_dwCutOffTick = GetTickCount();
    pInst->m_hDrain = CreateThread(nullptr, 0, DrainThenDisconnect, pInst, 0, nullptr);
}

bool PipeClientGone(PIPE_HANDLE hPipe)
{
    const CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || !pInst->Serves())
        return true;
    ULONG dwState = 0;
    return PipeQueryState(pInst, &dwState) && dwState == PIPE_STATE_CLOSING_NT;
}

void PipeCloseInstance(PIPE_HANDLE hPipe)
{
    CPipeInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr)
        return;
    PipeDisconnectClient(hPipe);
    FinishCutOff(pInst, nullptr);
    if (pInst->m_bListening) {
        CancelIoEx(pInst->m_hPipe, &pInst->m_ovConnect);
        TakeConnectResult(pInst, TRUE);
    }
    if (pInst->m_bConnected)
        DisconnectNamedPipe(pInst->m_hPipe);
    if (pInst->m_hQuery != nullptr)
        CloseHandle(pInst->m_hQuery);
    CloseHandle(pInst->m_hPipe);
    CloseHandle(pInst->m_hIoDone);
    CloseHandle(pInst->m_hConnectDone);
    delete pInst;
}
