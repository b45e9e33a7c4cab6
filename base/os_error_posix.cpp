// errno decoded into the portable error kinds.
#include "base/os_error.h"

#include <cerrno>
#include <cstring>

namespace {

EOsError KindOfErrno(int nErr)
{
    switch (nErr) {
    case 0:
        return EOsError::None;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return EOsError::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return EOsError::AccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return EOsError::Busy;
    case ENOTTY:
    case ENOEXEC:
    case EISDIR:
    case ELOOP:
        return EOsError::WrongKind;
    case EEXIST:
        return EOsError::AlreadyExists;
    case ETIMEDOUT:
        return EOsError::TimedOut;
    case EIO:
    case EPIPE:
    case EBADF:
    case ECONNRESET:
        return EOsError::Gone;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case ENOSPC:
        return EOsError::NoResources;
    default:
        return EOsError::Other;
    }
}

} // namespace

COsError OsErrorFromCode(int32_t nCode)
{
    COsError err;
    err.m_eKind = KindOfErrno(nCode);
    err.m_nCode = nCode;
    if (nCode != 0)
        err.m_strText = std::strerror(nCode);
    return err;
}

COsError OsLastError()
{
    return OsErrorFromCode(errno);
}

COsError OsErrorOfKind(EOsError eKind, const char* pszText)
{
    COsError err;
    err.m_eKind = eKind;
    err.m_strText = pszText != nullptr ? pszText : "";
    return err;
}
