// Manual-reset events on eventfd: signalled while the counter is non-zero, so a
// wait (poll for readability) never consumes the signal; ResetEvent drains it.
#include "serial/comm_api.h"
#include "serial/comm_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>

namespace {

thread_local int32_t t_nLastError = 0;

struct CPosixEvent {
    int m_fd;
    uint64_t m_qwSerial;   // unique over the process's life: a new event at an old address is told apart
};

std::atomic<uint64_t> g_qwEventSerials { 0 };

CPosixEvent* EventFromHandle(COMM_EVENT h)
{
    return reinterpret_cast<CPosixEvent*>(h);
}

} // namespace

void CommSetLastError(int32_t nError)
{
    t_nLastError = nError;
}

int32_t CommGetLastError()
{
    return t_nLastError;
}

int CommEventFd(COMM_EVENT h)
{
    return h == 0 ? -1 : EventFromHandle(h)->m_fd;
}

uint64_t CommEventSerial(COMM_EVENT h)
{
    return h == 0 ? 0 : EventFromHandle(h)->m_qwSerial;
}

COMM_EVENT CommCreateEvent()
{
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        CommSetLastError(errno);
        return 0;
    }
    CPosixEvent* pEvent = new (std::nothrow) CPosixEvent { fd, g_qwEventSerials.fetch_add(1) + 1 };
    if (pEvent == nullptr) {
        close(fd);
        CommSetLastError(ENOMEM);
        return 0;
    }
    return reinterpret_cast<COMM_EVENT>(pEvent);
}

void CommSetEvent(COMM_EVENT h)
{
    if (h == 0)
        return;
    const uint64_t qwOne = 1;
    // A full counter (never reached in practice) still reads as signalled.
    while (write(EventFromHandle(h)->m_fd, &qwOne, sizeof(qwOne)) < 0 && errno == EINTR) {
    }
}

void CommResetEvent(COMM_EVENT h)
{
    if (h == 0)
        return;
    uint64_t qwCount = 0;
    while (read(EventFromHandle(h)->m_fd, &qwCount, sizeof(qwCount)) < 0 && errno == EINTR) {
    }
}

void CommCloseEvent(COMM_EVENT h)
{
    if (h == 0)
        return;
    CPosixEvent* pEvent = EventFromHandle(h);
    close(pEvent->m_fd);
    delete pEvent;
}

bool CommIsEventSet(COMM_EVENT h)
{
    if (h == 0)
        return false;
    struct pollfd pfd = { EventFromHandle(h)->m_fd, POLLIN, 0 };
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

int32_t CommWaitEvents(const COMM_EVENT* phEvents, int32_t nCount, int32_t nTimeoutMs)
{
    constexpr int32_t MAX_WAIT_EVENTS = 8;
    if (phEvents == nullptr || nCount <= 0 || nCount > MAX_WAIT_EVENTS) {
        CommSetLastError(EINVAL);
        return COMM_FAILED;
    }
    struct pollfd aPfd[MAX_WAIT_EVENTS];
    for (int32_t i = 0; i < nCount; ++i) {
        aPfd[i].fd = CommEventFd(phEvents[i]);
        aPfd[i].events = POLLIN;
        aPfd[i].revents = 0;
    }
    const auto tmDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nWaitMs = -1;
        if (nTimeoutMs >= 0) {
            const auto tmLeft = std::chrono::ceil<std::chrono::milliseconds>(
                tmDeadline - std::chrono::steady_clock::now()).count();
            nWaitMs = tmLeft > 0 ? static_cast<int>(tmLeft) : 0;
        }
        const int nReady = poll(aPfd, static_cast<nfds_t>(nCount), nWaitMs);
        if (nReady < 0) {
            if (errno == EINTR)
                continue;
            CommSetLastError(errno);
            return COMM_FAILED;
        }
        // The lowest signalled index wins, as with WaitForMultipleObjects.
        for (int32_t i = 0; i < nCount; ++i) {
            if (aPfd[i].revents != 0)
                return i;
        }
        if (nWaitMs == 0)
            return COMM_WAIT_TIMEOUT;
    }
}

void CommRaiseThreadPriority()
{
    // Two nice levels up, like THREAD_PRIORITY_HIGHEST; without the privilege
    // to do so the thread keeps its priority.
    const id_t nTid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nNice = getpriority(PRIO_PROCESS, nTid);
    if (errno == 0)
        (void)setpriority(PRIO_PROCESS, nTid, nNice - 2);
}
