// Events, waits on them, the last error and thread priority: the Win32 calls
// themselves. A COMM_EVENT is the event's HANDLE.
#include "serial/comm_win32.h"

namespace {

constexpr int32_t MAX_WAIT_EVENTS = 8;

} // namespace

int32_t CommGetLastError()
{
    return static_cast<int32_t>(GetLastError());
}

COMM_EVENT CommCreateEvent()
{
    return reinterpret_cast<COMM_EVENT>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void CommSetEvent(COMM_EVENT h)
{
    if (h != 0)
        SetEvent(EventHandle(h));
}

void CommResetEvent(COMM_EVENT h)
{
    if (h != 0)
        ResetEvent(EventHandle(h));
}

void CommCloseEvent(COMM_EVENT h)
{
    if (h != 0)
        CloseHandle(EventHandle(h));
}

bool CommIsEventSet(COMM_EVENT h)
{
    return h != 0 && WaitForSingleObject(EventHandle(h), 0) == WAIT_OBJECT_0;
}

int32_t CommWaitEvents(const COMM_EVENT* phEvents, int32_t nCount, int32_t nTimeoutMs)
{
    if (phEvents == nullptr || nCount <= 0 || nCount > MAX_WAIT_EVENTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return COMM_FAILED;
    }
    HANDLE ahWait[MAX_WAIT_EVENTS];
    for (int32_t i = 0; i < nCount; ++i)
        ahWait[i] = EventHandle(phEvents[i]);
    const DWORD dwWait = WaitForMultipleObjects(static_cast<DWORD>(nCount), ahWait, FALSE,
                                                nTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(nTimeoutMs));
    if (dwWait < WAIT_OBJECT_0 + static_cast<DWORD>(nCount))
        return static_cast<int32_t>(dwWait - WAIT_OBJECT_0);
    if (dwWait == WAIT_TIMEOUT)
        return COMM_WAIT_TIMEOUT;
    if (dwWait != WAIT_FAILED)
        SetLastError(ERROR_INVALID_HANDLE);   // an abandoned mutex: not one of ours
    return COMM_FAILED;
}

void CommRaiseThreadPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}
