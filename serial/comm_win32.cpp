// The comm layer on the Win32 serial API: opening "\\.\COMn" overlapped and
// exclusive, line settings, modem lines, purges. The waits, reads and writes
// are in comm_io_win32.cpp.
#include "serial/comm_win32.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "serial/port_names.h"

namespace {

// Reads return after this gap once the first byte is in, and never time out
// before it: a read is how the reader waits (WaitCommEvent does not block
// under Wine, and on Windows this is the usual pattern for USB serial).
constexpr DWORD READ_INTERVAL_MS = 2;
constexpr int32_t DEVICE_NAME_SIZE = 32;

static_assert(sizeof(DCB) == sizeof(COMM_DCB), "COMM_DCB keeps the Win32 DCB layout");

// A port without modem lines (a pty under Wine) answers their calls with 50.
bool IsNoModemLines(DWORD dwErr)
{
    return dwErr == ERROR_NOT_SUPPORTED || dwErr == ERROR_INVALID_FUNCTION;
}

void CloseIfSet(HANDLE h)
{
    if (h != nullptr)
        CloseHandle(h);
}

} // namespace

CWin32Comm* CommFromHandle(COMM_HANDLE h)
{
    return h == COMM_INVALID_HANDLE || h == 0 ? nullptr : reinterpret_cast<CWin32Comm*>(h);
}

int32_t CommFail(DWORD dwError)
{
    SetLastError(dwError);
    return 0;
}

bool CommIsGoneError(DWORD dwError)
{
    switch (dwError) {
    case ERROR_BROKEN_PIPE:            // 109: Wine, the pty's other end closed
    case ERROR_NOT_READY:              // 21
    case ERROR_BAD_COMMAND:            // 22: usbser.sys after an unplug
    case ERROR_GEN_FAILURE:            // 31
    case ERROR_ACCESS_DENIED:          // 5: an open handle whose device was removed
    case ERROR_DEVICE_NOT_CONNECTED:   // 1167
    case ERROR_DEVICE_REMOVED:         // 1617
        return true;
    default:
        return false;
    }
}

DWORD CommCancelAndCollect(CWin32Comm* pComm, OVERLAPPED* pOv)
{
    CancelIoEx(pComm->m_hFile, pOv);   // fails when it has ended already: nothing to cancel
    DWORD dwMoved = 0;
    GetOverlappedResult(pComm->m_hFile, pOv, &dwMoved, TRUE);   // a cancelled one still tells its count
    return dwMoved;
}

// Opens and checks the device; INVALID_HANDLE_VALUE with the last error set.
static HANDLE OpenDevice(const std::string& strName)
{
    const HANDLE hFile = CreateFileA(strName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return hFile;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    COMMTIMEOUTS cto = {};
    cto.ReadIntervalTimeout = READ_INTERVAL_MS;
    if (!GetCommState(hFile, &dcb) || !SetCommTimeouts(hFile, &cto)) {
        const DWORD dwErr = GetLastError();
        CloseHandle(hFile);
        SetLastError(dwErr);   // not a serial port
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

COMM_HANDLE CommOpen(const char* pszName, char* pszDevice, int32_t nDeviceSize)
{
    const int32_t nPort = ComPortFromName(pszName);
    std::string strName;
    if (nPort > 0) {
        char szName[DEVICE_NAME_SIZE];
        std::snprintf(szName, sizeof(szName), "\\\\.\\COM%d", static_cast<int>(nPort));
        strName = szName;
    } else if (pszName != nullptr) {
        strName = pszName;   // tools may name a device directly
    }
    if (pszDevice != nullptr && nDeviceSize > 0) {
        std::strncpy(pszDevice, strName.c_str(), static_cast<size_t>(nDeviceSize) - 1);
        pszDevice[nDeviceSize - 1] = '\0';
    }
    if (strName.empty()) {
        CommFail(ERROR_FILE_NOT_FOUND);
        return COMM_INVALID_HANDLE;
    }
    const HANDLE hFile = OpenDevice(strName);
    if (hFile == INVALID_HANDLE_VALUE) {
        // Windows refuses a COM port that another program holds with "access
        // denied" (ports open unshared); there are no permissions to mend.
        if (nPort > 0 && GetLastError() == ERROR_ACCESS_DENIED)
            CommFail(ERROR_SHARING_VIOLATION);
        return COMM_INVALID_HANDLE;
    }
    CWin32Comm* pComm = new (std::nothrow) CWin32Comm();
    if (pComm != nullptr) {
        pComm->m_hFile = hFile;
        pComm->m_hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        pComm->m_hRxAbort = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        pComm->m_hTxAbort = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (pComm->m_hWake != nullptr && pComm->m_hRxAbort != nullptr && pComm->m_hTxAbort != nullptr)
            return reinterpret_cast<COMM_HANDLE>(pComm);
    }
    const DWORD dwErr = pComm == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    CommClose(reinterpret_cast<COMM_HANDLE>(pComm));
    if (pComm == nullptr)
        CloseHandle(hFile);
    CommFail(dwErr);
    return COMM_INVALID_HANDLE;
}

void CommClose(COMM_HANDLE h)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return;
    CloseIfSet(pComm->m_hTxAbort);
    CloseIfSet(pComm->m_hRxAbort);
    CloseIfSet(pComm->m_hWake);
    if (pComm->m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(pComm->m_hFile);
    delete pComm;
}

int32_t CommSetMask(COMM_HANDLE h, uint32_t dwMask)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(ERROR_INVALID_HANDLE);
    // The mask is ours: the event wait reads instead of WaitCommEvent.
    pComm->m_dwMask.store(dwMask, std::memory_order_release);
    pComm->m_dwMaskChanges.fetch_add(1, std::memory_order_acq_rel);
    SetEvent(pComm->m_hWake);
    return 1;
}

int32_t CommSetupQueues(COMM_HANDLE h, uint32_t dwInQueue, uint32_t dwOutQueue)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(ERROR_INVALID_HANDLE);
    return SetupComm(pComm->m_hFile, dwInQueue, dwOutQueue) ? 1 : 0;
}

int32_t CommSetState(COMM_HANDLE h, const COMM_DCB* pDcb)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pDcb == nullptr)
        return CommFail(pComm == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    DCB dcb;
    std::memcpy(&dcb, pDcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (SetCommState(pComm->m_hFile, &dcb))
        return 1;
    const DWORD dwErr = GetLastError();
    if (!IsNoModemLines(dwErr) || (dcb.fDtrControl == DTR_CONTROL_DISABLE && dcb.fRtsControl == RTS_CONTROL_DISABLE))
        return 0;
    // Raising lines the port does not have is "no modem lines", not a failure.
    pComm->m_bNoModemLines.store(true, std::memory_order_relaxed);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(pComm->m_hFile, &dcb) ? 1 : 0;
}

int32_t CommGetOutQueue(COMM_HANDLE h, uint32_t* pdwOutQueue)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwOutQueue == nullptr)
        return CommFail(pComm == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(pComm->m_hFile, &dwErrors, &stat))
        return 0;
    pComm->m_dwKeptErrors.fetch_or(dwErrors, std::memory_order_acq_rel);
    *pdwOutQueue = stat.cbOutQue;
    return 1;
}

int32_t CommGetModemStatus(COMM_HANDLE h, uint32_t* pdwStatus)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwStatus == nullptr)
        return CommFail(pComm == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    if (!GetCommModemStatus(pComm->m_hFile, &dwStatus)) {
        if (!IsNoModemLines(GetLastError()))
            return 0;
        pComm->m_bNoModemLines.store(true, std::memory_order_relaxed);
        dwStatus = 0;
    }
    *pdwStatus = dwStatus;
    return 1;
}

int32_t CommPurge(COMM_HANDLE h, uint32_t dwFlags)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(ERROR_INVALID_HANDLE);
    // PURGE_RXABORT does not end a pending read under Wine: our waits watch these too.
    if ((dwFlags & PURGE_RXABORT) != 0) {
        pComm->m_dwRxAborts.fetch_add(1, std::memory_order_acq_rel);
        SetEvent(pComm->m_hRxAbort);
    }
    if ((dwFlags & PURGE_TXABORT) != 0) {
        pComm->m_dwTxAborts.fetch_add(1, std::memory_order_acq_rel);
        SetEvent(pComm->m_hTxAbort);
    }
    if ((dwFlags & PURGE_RXCLEAR) != 0)
        pComm->m_in.Clear();
    if ((dwFlags & (PURGE_RXCLEAR | PURGE_TXCLEAR)) == 0)
        return 1;
    return PurgeComm(pComm->m_hFile, dwFlags) ? 1 : 0;
}

int32_t CommEscape(COMM_HANDLE h, uint32_t dwFunc)
{
    CWin32Comm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(ERROR_INVALID_HANDLE);
    return EscapeCommFunction(pComm->m_hFile, dwFunc) ? 1 : 0;
}
