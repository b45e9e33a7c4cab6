// GetLastError codes decoded into the portable error kinds, with the system's
// own message from FormatMessageA.
#include "base/os_error.h"

#include <windows.h>

namespace {

EOsError KindOfWin32Error(DWORD dwErr)
{
    switch (dwErr) {
    case ERROR_SUCCESS:
        return EOsError::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_MOD_NOT_FOUND:
        return EOsError::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
        return EOsError::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PIPE_BUSY:
    case ERROR_BUSY:
        return EOsError::Busy;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return EOsError::WrongKind;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EOsError::AlreadyExists;
    case WAIT_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
        return EOsError::TimedOut;
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_INVALID_HANDLE:
        return EOsError::Gone;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return EOsError::NoResources;
    default:
        return EOsError::Other;
    }
}

// The system's message without the line break it ends with.
std::string MessageOf(DWORD dwErr)
{
    char szText[512];
    const DWORD dwLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwErr,
                                       0, szText, sizeof(szText), nullptr);
    std::string strText(szText, dwLen);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' || strText.back() == ' '
                                || strText.back() == '.'))
        strText.pop_back();
    if (strText.empty())
        strText = "Windows error " + std::to_string(dwErr);
    return strText;
}

} // namespace

COsError OsErrorFromCode(int32_t nCode)
{
    COsError err;
    err.m_eKind = KindOfWin32Error(static_cast<DWORD>(nCode));
    err.m_nCode = nCode;
    if (nCode != 0)
        err.m_strText = MessageOf(static_cast<DWORD>(nCode));
    return err;
}

COsError OsLastError()
{
    return OsErrorFromCode(static_cast<int32_t>(GetLastError()));
}

COsError OsErrorOfKind(EOsError eKind, const char* pszText)
{
    COsError err;
    err.m_eKind = eKind;
    err.m_strText = pszText != nullptr ? pszText : "";
    return err;
}
