// The comm layer on a terminal device: opening, line settings, modem lines,
// purges. The waits, reads and writes are in comm_io_posix.cpp.
#include "serial/comm_api.h"
#include "serial/comm_posix.h"
#include "serial/port_names.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace {

bool SpeedFromBaud(uint32_t dwBaud, speed_t* pSpeed)
{
    static const struct { uint32_t m_dwBaud; speed_t m_speed; } s_aSpeeds[] = {
        { 110, B110 }, { 300, B300 }, { 600, B600 }, { 1200, B1200 }, { 2400, B2400 },
        { 4800, B4800 }, { 9600, B9600 }, { 19200, B19200 }, { 38400, B38400 },
        { 57600, B57600 }, { 115200, B115200 }, { 230400, B230400 }, { 460800, B460800 },
        { 500000, B500000 }, { 921600, B921600 }, { 1000000, B1000000 }, { 1500000, B1500000 },
        { 2000000, B2000000 }, { 3000000, B3000000 }, { 4000000, B4000000 },
    };
    for (const auto& entry : s_aSpeeds) {
        if (entry.m_dwBaud == dwBaud) {
            *pSpeed = entry.m_speed;
            return true;
        }
    }
    return false;
}

// Raises or lowers modem lines; a device without them (a pseudo-terminal) is noted.
bool SetModemLines(CPosixComm* pComm, int nLines, bool bRaise)
{
    if (ioctl(pComm->m_fd, bRaise ? TIOCMBIS : TIOCMBIC, &nLines) == 0)
        return true;
    if (errno == ENOTTY || errno == EINVAL) {
        pComm->m_bNoModemLines.store(true, std::memory_order_relaxed);
        return true;
    }
    CommSetLastError(errno);
    return false;
}

} // namespace

CPosixComm* CommFromHandle(COMM_HANDLE h)
{
    return h == COMM_INVALID_HANDLE || h == 0 ? nullptr : reinterpret_cast<CPosixComm*>(h);
}

int32_t CommFail(int32_t nError)
{
    CommSetLastError(nError);
    return 0;
}

void CommDrainFd(int fd)
{
    uint64_t qwCount = 0;
    while (read(fd, &qwCount, sizeof(qwCount)) < 0 && errno == EINTR) {
    }
}

bool CommEpollAdd(int fdEpoll, int fd, uint32_t dwEvents, uint32_t dwTag)
{
    struct epoll_event ev = {};
    ev.events = dwEvents;
    ev.data.u32 = dwTag;
    return epoll_ctl(fdEpoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void CommSignalFd(int fd)
{
    const uint64_t qwOne = 1;
    while (write(fd, &qwOne, sizeof(qwOne)) < 0 && errno == EINTR) {
    }
}

COMM_HANDLE CommOpen(const char* pszName, char* pszDevice, int32_t nDeviceSize)
{
    std::string strPath;
    if (pszName != nullptr && pszName[0] == '/')
        strPath = pszName;   // tools may name a device node directly
    else
        strPath = ResolveComPort(ComPortFromName(pszName));
    if (pszDevice != nullptr && nDeviceSize > 0) {
        std::strncpy(pszDevice, strPath.c_str(), static_cast<size_t>(nDeviceSize) - 1);
        pszDevice[nDeviceSize - 1] = '\0';
    }
    if (strPath.empty()) {
        CommFail(ENOENT);
        return COMM_INVALID_HANDLE;
    }
    const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        CommFail(errno);
        return COMM_INVALID_HANDLE;
    }
    int nError = 0;
    if (!isatty(fd))
        nError = ENOTTY;
    else if (ioctl(fd, TIOCEXCL) != 0)
        nError = errno;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        nError = errno == EWOULDBLOCK ? EBUSY : errno;
    int aFd[4] = { -1, -1, -1, -1 };   // wake, receive abort, transmit abort, the event wait's epoll set
    for (int i = 0; i < 3 && nError == 0; ++i) {
        aFd[i] = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (aFd[i] < 0)
            nError = errno;
    }
    if (nError == 0 && (aFd[3] = epoll_create1(EPOLL_CLOEXEC)) < 0)
        nError = errno;
    if (nError == 0 && (!CommEpollAdd(aFd[3], aFd[0], EPOLLIN, COMM_EPOLL_WAKE)
                           || !CommEpollAdd(aFd[3], fd, 0, COMM_EPOLL_PORT)))
        nError = errno;
    CPosixComm* pComm = nError == 0 ? new (std::nothrow) CPosixComm() : nullptr;
    if (nError == 0 && pComm == nullptr)
        nError = ENOMEM;
    if (nError != 0) {
        for (int fdEvent : aFd) {
            if (fdEvent >= 0)
                close(fdEvent);
        }
        close(fd);
        CommFail(nError);
        return COMM_INVALID_HANDLE;
    }
    pComm->m_fd = fd;
    pComm->m_fdWake = aFd[0];
    pComm->m_fdRxAbort = aFd[1];
    pComm->m_fdTxAbort = aFd[2];
    pComm->m_fdEpoll = aFd[3];
    return reinterpret_cast<COMM_HANDLE>(pComm);
}

void CommClose(COMM_HANDLE h)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return;
    close(pComm->m_fdEpoll);
    close(pComm->m_fdTxAbort);
    close(pComm->m_fdRxAbort);
    close(pComm->m_fdWake);
    // On a pseudo-terminal the exclusive flag outlives our descriptor (the
    // other side keeps the terminal alive), so a later open by a normal user
    // would fail with EBUSY. We hold the lock, so the flag is ours to clear.
    ioctl(pComm->m_fd, TIOCNXCL);
    close(pComm->m_fd);
    delete pComm;
}

int32_t CommSetMask(COMM_HANDLE h, uint32_t dwMask)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(EBADF);
    pComm->m_dwMask.store(dwMask, std::memory_order_release);
    pComm->m_dwMaskChanges.fetch_add(1, std::memory_order_acq_rel);
    CommSignalFd(pComm->m_fdWake);
    return 1;
}

int32_t CommSetupQueues(COMM_HANDLE h, uint32_t dwInQueue, uint32_t dwOutQueue)
{
    // The terminal driver sizes its own queues.
    (void)dwInQueue;
    (void)dwOutQueue;
    return CommFromHandle(h) != nullptr ? 1 : CommFail(EBADF);
}

int32_t CommSetState(COMM_HANDLE h, const COMM_DCB* pDcb)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pDcb == nullptr)
        return CommFail(pComm == nullptr ? EBADF : EINVAL);
    speed_t speed = B0;
    if (!SpeedFromBaud(pDcb->BaudRate, &speed))
        return CommFail(EINVAL);
    struct termios tio;
    if (tcgetattr(pComm->m_fd, &tio) != 0)
        return CommFail(errno);
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    switch (pDcb->ByteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: return CommFail(EINVAL);
    }
    switch (pDcb->Parity) {
    case NOPARITY: break;
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;   // mark
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;            // space
    default: return CommFail(EINVAL);
    }
    if (pDcb->fParity && pDcb->Parity != NOPARITY)
        tio.c_iflag |= INPCK;
    if (pDcb->StopBits == ONE5STOPBITS || pDcb->StopBits == TWOSTOPBITS)
        tio.c_cflag |= CSTOPB;
    else if (pDcb->StopBits != ONESTOPBIT)
        return CommFail(EINVAL);
    if (pDcb->fOutxCtsFlow || pDcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    if (pDcb->fOutX)
        tio.c_iflag |= IXON;
    if (pDcb->fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(pDcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(pDcb->XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return CommFail(errno);
    if (tcsetattr(pComm->m_fd, TCSANOW, &tio) != 0)
        return CommFail(errno);
    if (!SetModemLines(pComm, TIOCM_DTR, pDcb->fDtrControl != DTR_CONTROL_DISABLE))
        return 0;
    if (!SetModemLines(pComm, TIOCM_RTS,
            pDcb->fRtsControl == RTS_CONTROL_ENABLE || pDcb->fRtsControl == RTS_CONTROL_HANDSHAKE))
        return 0;
    return 1;
}

int32_t CommGetOutQueue(COMM_HANDLE h, uint32_t* pdwOutQueue)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwOutQueue == nullptr)
        return CommFail(pComm == nullptr ? EBADF : EINVAL);
    int nQueued = 0;
    if (ioctl(pComm->m_fd, TIOCOUTQ, &nQueued) != 0)
        return CommFail(errno);
    *pdwOutQueue = nQueued > 0 ? static_cast<uint32_t>(nQueued) : 0;
    return 1;
}

int32_t CommGetModemStatus(COMM_HANDLE h, uint32_t* pdwStatus)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr || pdwStatus == nullptr)
        return CommFail(pComm == nullptr ? EBADF : EINVAL);
    int nLines = 0;
    if (ioctl(pComm->m_fd, TIOCMGET, &nLines) != 0) {
        if (errno != ENOTTY && errno != EINVAL)
            return CommFail(errno);
        nLines = 0;
    }
    uint32_t dwStatus = 0;
    if (nLines & TIOCM_CTS)
        dwStatus |= MS_CTS_ON;
    if (nLines & TIOCM_DSR)
        dwStatus |= MS_DSR_ON;
    if (nLines & TIOCM_RI)
        dwStatus |= MS_RING_ON;
    if (nLines & TIOCM_CD)
        dwStatus |= MS_RLSD_ON;
    *pdwStatus = dwStatus;
    return 1;
}

int32_t CommPurge(COMM_HANDLE h, uint32_t dwFlags)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(EBADF);
    if ((dwFlags & PURGE_RXABORT) != 0) {
        pComm->m_dwRxAborts.fetch_add(1, std::memory_order_acq_rel);
        CommSignalFd(pComm->m_fdRxAbort);
    }
    if ((dwFlags & PURGE_TXABORT) != 0) {
        pComm->m_dwTxAborts.fetch_add(1, std::memory_order_acq_rel);
        CommSignalFd(pComm->m_fdTxAbort);
    }
    const bool bRx = (dwFlags & PURGE_RXCLEAR) != 0;
    if (bRx)
        pComm->m_in.Clear();
    const bool bTx = (dwFlags & PURGE_TXCLEAR) != 0;
    if (!bRx && !bTx)
        return 1;
    const int nQueue = bRx && bTx ? TCIOFLUSH : (bRx ? TCIFLUSH : TCOFLUSH);
    return tcflush(pComm->m_fd, nQueue) == 0 ? 1 : CommFail(errno);
}

int32_t CommEscape(COMM_HANDLE h, uint32_t dwFunc)
{
    CPosixComm* pComm = CommFromHandle(h);
    if (pComm == nullptr)
        return CommFail(EBADF);
    int nLine = 0;
    unsigned long nRequest = 0;
    switch (dwFunc) {
    case SETRTS: nRequest = TIOCMBIS; nLine = TIOCM_RTS; break;
    case CLRRTS: nRequest = TIOCMBIC; nLine = TIOCM_RTS; break;
    case SETDTR: nRequest = TIOCMBIS; nLine = TIOCM_DTR; break;
    case CLRDTR: nRequest = TIOCMBIC; nLine = TIOCM_DTR; break;
    case SETBREAK: return ioctl(pComm->m_fd, TIOCSBRK) == 0 ? 1 : CommFail(errno);
    case CLRBREAK: return ioctl(pComm->m_fd, TIOCCBRK) == 0 ? 1 : CommFail(errno);
    case SETXOFF: return tcflow(pComm->m_fd, TCOOFF) == 0 ? 1 : CommFail(errno);
    case SETXON: return tcflow(pComm->m_fd, TCOON) == 0 ? 1 : CommFail(errno);
    default: return CommFail(EINVAL);
    }
    return ioctl(pComm->m_fd, nRequest, &nLine) == 0 ? 1 : CommFail(errno);
}
