// The comm layer's waits, reads and writes on a terminal device. The event
// wait is epoll on the non-blocking descriptor, the port's wake and the
// caller's stop event; a read or write that must wait polls.
#include "serial/comm_api.h"
#include "serial/comm_posix.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

// While the driver still holds output, the wait looks again this often for EV_TXEMPTY.
constexpr int64_t TX_EMPTY_POLL_US = 1000;
// A timed epoll wait ends on a high-resolution timer: the 50 us default timer
// slack of a normal thread and the wake-up after it.
constexpr int32_t WAIT_LATENESS_US = 100;
constexpr int32_t COMM_NOTHING_YET = 2;   // internal: read found nothing to read

bool IsGoneError(int nError)
{
    return nError == EIO || nError == ENXIO || nError == ENODEV || nError == EPIPE;
}

// One read() of up to dwLen bytes into p: COMM_DONE (*pdwGot > 0), COMM_NOTHING_YET,
// COMM_LOST (end of file or device gone) or COMM_FAILED.
int32_t ReadOnce(CPosixComm* pComm, uint8_t* p, uint32_t dwLen, uint32_t* pdwGot)
{
    for (;;) {
        const ssize_t nGot = read(pComm->m_fd, p, dwLen);
        if (nGot > 0) {
            *pdwGot = static_cast<uint32_t>(nGot);
            return COMM_DONE;
        }
        if (nGot == 0) {
            CommFail(ENXIO);
            return COMM_LOST;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return COMM_NOTHING_YET;
        CommFail(errno);
        return IsGoneError(errno) ? COMM_LOST : COMM_FAILED;
    }
}

// Fills the (empty) input queue with what can be read now.
int32_t FillInput(CPosixComm* pComm)
{
    uint32_t dwGot = 0;
    const int32_t nResult = ReadOnce(pComm, pComm->m_in.FillArea(), CCommInQueue::SIZE, &dwGot);
    pComm->m_in.Filled(nResult == COMM_DONE ? dwGot : 0);
    return nResult;
}

// poll() that carries on after a signal; false (error recorded) when it fails.
bool PollUntilReady(struct pollfd* aPfd, nfds_t nCount, int nTimeoutMs)
{
    while (poll(aPfd, nCount, nTimeoutMs) < 0) {
        if (errno != EINTR) {
            CommFail(errno);
            return false;
        }
    }
    return true;
}

// Waits for the stop event, for an abort counted after dwAbortsAtStart, or for
// nEvents on the port. Returns COMM_DONE (port ready, *pnRevents set), COMM_STOPPED,
// COMM_ABORTED or COMM_FAILED.
int32_t WaitPortOrStop(CPosixComm* pComm, short nEvents, COMM_EVENT hStop, bool bTx,
    uint32_t dwAbortsAtStart, short* pnRevents)
{
    const int fdAbort = bTx ? pComm->m_fdTxAbort : pComm->m_fdRxAbort;
    const std::atomic<uint32_t>& dwAborts = bTx ? pComm->m_dwTxAborts : pComm->m_dwRxAborts;
    struct pollfd aPfd[3] = {
        { CommEventFd(hStop), POLLIN, 0 }, { fdAbort, POLLIN, 0 }, { pComm->m_fd, nEvents, 0 },
    };
    for (;;) {
        if (dwAborts.load(std::memory_order_acquire) != dwAbortsAtStart)
            return COMM_ABORTED;
        if (!PollUntilReady(aPfd, 3, -1))
            return COMM_FAILED;
        if (aPfd[0].revents != 0)
            return COMM_STOPPED;
        if (aPfd[1].revents != 0)
            CommDrainFd(fdAbort);   // an abort counted before this operation began is not for it
        if (aPfd[2].revents != 0) {
            *pnRevents = aPfd[2].revents;
            return COMM_DONE;
        }
    }
}

// The steady clock in microseconds, for the event wait's own deadline.
int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Brings the epoll set in line with this wait: the caller's stop event (a
// different one from last time replaces it) and what the port is watched for.
bool WatchStopAndPort(CPosixComm* pComm, COMM_EVENT hStop, bool bRxWatch)
{
    const uint64_t qwSerial = CommEventSerial(hStop);
    if (qwSerial != pComm->m_qwStopSerial) {
        // An old stop event closed since is no longer in the set; one that is
        // still open leaves it here.
        if (pComm->m_fdStop >= 0)
            (void)epoll_ctl(pComm->m_fdEpoll, EPOLL_CTL_DEL, pComm->m_fdStop, nullptr);
        pComm->m_qwStopSerial = 0;
        pComm->m_fdStop = -1;
        const int fdStop = CommEventFd(hStop);
        if (fdStop >= 0 && !CommEpollAdd(pComm->m_fdEpoll, fdStop, EPOLLIN, COMM_EPOLL_STOP)) {
            CommFail(errno);
            return false;
        }
        pComm->m_qwStopSerial = qwSerial;
        pComm->m_fdStop = fdStop;
    }
    const uint32_t dwPortEvents = bRxWatch ? static_cast<uint32_t>(EPOLLIN) : 0;
    if (dwPortEvents == pComm->m_dwPortEvents)
        return true;
    struct epoll_event ev = {};
    ev.events = dwPortEvents;
    ev.data.u32 = COMM_EPOLL_PORT;
    if (epoll_ctl(pComm->m_fdEpoll, EPOLL_CTL_MOD, pComm->m_fd, &ev) != 0) {
        CommFail(errno);
        return false;
    }
    pComm->m_dwPortEvents = dwPortEvents;
    return true;
}

// What woke the event wait (nothing when its time ran out).
struct CReady {
    bool m_bStop = false;
    bool m_bWake = false;
    short m_nPortEvents = 0;   // POLLIN / POLLHUP / POLLERR, as poll() would say
};

// One epoll wait of up to nWaitUs (-1: no limit), carried on after a signal.
bool WaitReady(CPosixComm* pComm, int64_t nWaitUs, CReady* pReady)
{
    struct epoll_event aEv[3];
    int nReady = -1;
    for (;;) {
        if (nWaitUs < 0) {
            nReady = epoll_wait(pComm->m_fdEpoll, aEv, 3, -1);
        } else {
            const struct timespec ts = { static_cast<time_t>(nWaitUs / 1000000), static_cast<long>(nWaitUs % 1000000) * 1000 };
            nReady = epoll_pwait2(pComm->m_fdEpoll, aEv, 3, &ts, nullptr);
            if (nReady < 0 && errno == ENOSYS)   // before Linux 5.11: whole milliseconds, rounded up
                nReady = epoll_wait(pComm->m_fdEpoll, aEv, 3, static_cast<int>((nWaitUs + 999) / 1000));
        }
        if (nReady >= 0)
            break;
        if (errno != EINTR) {
            CommFail(errno);
            return false;
        }
    }
    for (int i = 0; i < nReady; ++i) {
        if (aEv[i].data.u32 == COMM_EPOLL_STOP)
            pReady->m_bStop = true;
        else if (aEv[i].data.u32 == COMM_EPOLL_WAKE)
            pReady->m_bWake = true;
        else
            pReady->m_nPortEvents = static_cast<short>(aEv[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR));
    }
    return true;
}

// The port's descriptor woke a wait: data, end of file or an error. Returns
// COMM_NOTHING_YET when the wait goes on, else what the wait returns.
int32_t OnPortWoke(CPosixComm* pComm, short nRevents, bool bRxWatch, uint32_t* pdwMask)
{
    if (!bRxWatch) {
        // Only a hang-up or an error wakes a wait that does not watch for data.
        CommFail(ENXIO);
        *pdwMask = EV_ERR;
        return COMM_LOST;
    }
    // Readable, hung up or failed: one read tells data from end of file.
    pComm->m_in.Queued();   // takes in a purge before the queue is refilled
    const int32_t nFill = FillInput(pComm);
    if (nFill == COMM_NOTHING_YET && (nRevents & (POLLHUP | POLLERR | POLLNVAL)) == 0)
        return COMM_NOTHING_YET;
    if (nFill == COMM_DONE) {
        *pdwMask = EV_RXCHAR;
        return COMM_DONE;
    }
    if (nFill == COMM_FAILED)
        return COMM_FAILED;
    CommFail(ENXIO);
    *pdwMask = EV_ERR;
    return COMM_LOST;
}

// The port of a read or write whose arguments hold up, its count set to 0;
// null (error recorded) otherwise.
CPosixComm* CommForTransfer(COMM_HANDLE h, const void* pBuffer, uint32_t dwLen, uint32_t* pdwDone)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pBuffer == nullptr || pdwDone == nullptr || dwLen == 0) {
        CommFail(pComm == nullptr ? EBADF : EINVAL);
        return nullptr;
    }
    *pdwDone = 0;
    return pComm;
}

} // namespace

int32_t CommClearError(COMM_HANDLE h, uint32_t* pdwErrors, uint32_t* pdwInQueue)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(EBADF);
    if (pdwErrors != nullptr)
        *pdwErrors = 0;   // raw mode keeps no line-error state to clear
    if (pdwInQueue != nullptr)
        *pdwInQueue = pComm->m_in.Queued();
    return 1;
}

int32_t CommWaitLatenessUs()
{
    return WAIT_LATENESS_US;
}

int32_t CommWaitEvent(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, uint32_t* pdwMask)
{
    return CommWaitEventFor(h, pOv, hStop, -1, pdwMask);
}

int32_t CommWaitEventFor(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, int32_t nTimeoutUs,
    uint32_t* pdwMask)
{
    (void)pOv;   // epoll needs no record of its own
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwMask == nullptr) {
        CommFail(pComm == nullptr ? EBADF : EINVAL);
        return COMM_FAILED;
    }
    *pdwMask = 0;
    const uint32_t dwChangesAtStart = pComm->m_dwMaskChanges.load(std::memory_order_acquire);
    const int64_t nDeadlineUs = nTimeoutUs >= 0 ? NowUs() + nTimeoutUs : -1;
    for (;;) {
        const uint32_t dwMask = pComm->m_dwMask.load(std::memory_order_acquire);
        const bool bRxWatch = (dwMask & EV_RXCHAR) != 0;
        bool bTxWatch = false;
        if (CommTakeReadyEvent(h, pComm->m_in, pComm->m_bTxPending, dwMask, pdwMask, &bTxWatch))
            return COMM_DONE;
        if (!WatchStopAndPort(pComm, hStop, bRxWatch))
            return COMM_FAILED;
        int64_t nWaitUs = bTxWatch ? TX_EMPTY_POLL_US : -1;
        if (nDeadlineUs >= 0) {
            const int64_t nLeftUs = std::max<int64_t>(nDeadlineUs - NowUs(), 0);
            nWaitUs = nWaitUs < 0 ? nLeftUs : std::min(nWaitUs, nLeftUs);
        }
        CReady ready;
        if (!WaitReady(pComm, nWaitUs, &ready))
            return COMM_FAILED;
        if (ready.m_bStop)
            return COMM_STOPPED;
        if (ready.m_bWake) {
            CommDrainFd(pComm->m_fdWake);
            // A new mask ends the wait at once, with no events.
            if (pComm->m_dwMaskChanges.load(std::memory_order_acquire) != dwChangesAtStart)
                return COMM_DONE;
        }
        if (ready.m_nPortEvents != 0) {
            const int32_t nResult = OnPortWoke(pComm, ready.m_nPortEvents, bRxWatch, pdwMask);
            if (nResult != COMM_NOTHING_YET)
                return nResult;
        } else if (nDeadlineUs >= 0 && NowUs() >= nDeadlineUs) {
            return COMM_DONE;   // the time ran out: no events
        }
    }
}

int32_t CommRead(COMM_HANDLE h, uint8_t* pDst, uint32_t dwLen, COMM_OVERLAPPED* pOv,
    COMM_EVENT hStop, uint32_t* pdwRead)
{
    (void)pOv;
    CPosixComm* pComm = CommForTransfer(h, pDst, dwLen, pdwRead);
    if (pComm == nullptr)
        return COMM_FAILED;
    *pdwRead = pComm->m_in.Take(pDst, dwLen);
    if (*pdwRead > 0)
        return COMM_DONE;
    const uint32_t dwAbortsAtStart = pComm->m_dwRxAborts.load(std::memory_order_acquire);
    for (;;) {
        const int32_t nResult = ReadOnce(pComm, pDst, dwLen, pdwRead);
        if (nResult != COMM_NOTHING_YET)
            return nResult;
        short nRevents = 0;
        const int32_t nWait = WaitPortOrStop(pComm, POLLIN, hStop, false, dwAbortsAtStart, &nRevents);
        if (nWait != COMM_DONE)
            return nWait;
        if ((nRevents & POLLIN) == 0) {
            CommFail(ENXIO);
            return COMM_LOST;
        }
    }
}

int32_t CommWrite(COMM_HANDLE h, const uint8_t* pSrc, uint32_t dwLen, COMM_OVERLAPPED* pOv,
    COMM_EVENT hStop, uint32_t* pdwWritten)
{
    (void)pOv;
    CPosixComm* pComm = CommForTransfer(h, pSrc, dwLen, pdwWritten);
    if (pComm == nullptr)
        return COMM_FAILED;
    const uint32_t dwAbortsAtStart = pComm->m_dwTxAborts.load(std::memory_order_acquire);
    for (;;) {
        const ssize_t nPut = write(pComm->m_fd, pSrc, dwLen);
        if (nPut > 0) {
            *pdwWritten = static_cast<uint32_t>(nPut);
            pComm->m_bTxPending.store(true);
            CommSignalFd(pComm->m_fdWake);   // the event wait now watches for EV_TXEMPTY
            return COMM_DONE;
        }
        const int nError = nPut == 0 ? EAGAIN : errno;
        if (nError == EINTR)
            continue;
        if (nError != EAGAIN) {
            CommFail(nError);
            return IsGoneError(nError) ? COMM_LOST : COMM_FAILED;
        }
        short nRevents = 0;
        const int32_t nWait = WaitPortOrStop(pComm, POLLOUT, hStop, true, dwAbortsAtStart, &nRevents);
        if (nWait != COMM_DONE)
            return nWait;
        if ((nRevents & POLLOUT) == 0) {
            CommFail(ENXIO);
            return COMM_LOST;
        }
    }
}
