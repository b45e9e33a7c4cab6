// The Wireshark pipe as a FIFO "wireshark0" in $XDG_RUNTIME_DIR/quillmark/
// (or /tmp/quillmark-<uid>/). The directory must be a real directory of ours
// with no access for anyone else; every lookup goes through its descriptor
// with O_NOFOLLOW, and whatever we open is checked to be the FIFO we made (its
// inode pinned by an O_PATH descriptor so that its number cannot be handed to
// another file), so a link, file or other FIFO planted there is refused, never
// followed or written through.
#include "pcap/pipe_api.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(PIPE_WHOLE_BLOCK_BYTES <= PIPE_BUF, "a write up to PIPE_BUF bytes is all or nothing");

static const char* const FIFO_NAME = "wireshark0";
static const char* const FIFO_NEXT_NAME = "wireshark0.next";
static constexpr int32_t CONNECT_POLL_MS = 10;   // how often we look for a reader

class CFifoInstance {
public:
    int m_nDirFd = -1;
    int m_nFifoFd = -1;   // our write end while a client is connected
    int m_nPinFd = -1;    // O_PATH: keeps the FIFO's inode (and so its number) ours
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::string m_strPath;
};

static CFifoInstance* FromHandle(PIPE_HANDLE hPipe)
{
    return hPipe == INVALID_PIPE_HANDLE ? nullptr : reinterpret_cast<CFifoInstance*>(hPipe);
}

// A client that goes away must show up as EPIPE, not kill the program.
static void IgnoreBrokenPipe()
{
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

// Parent directory and the name of our directory in it.
static void PipeDirLocation(std::string& strParent, std::string& strName)
{
    const char* pszRuntime = getenv("XDG_RUNTIME_DIR");
    if (pszRuntime != nullptr && pszRuntime[0] == '/') {
        strParent = pszRuntime;
        while (strParent.size() > 1 && strParent.back() == '/')
            strParent.pop_back();
        strName = "quillmark";
    } else {
        strParent = "/tmp";
        strName = "quillmark-" + std::to_string(static_cast<unsigned long>(geteuid()));
    }
}

static bool SameFifo(const struct stat& st, const CFifoInstance& inst)
{
    return S_ISFIFO(st.st_mode) && st.st_dev == inst.m_dev && st.st_ino == inst.m_ino;
}

// An O_PATH descriptor of the entry (a link itself, not its target) once it
// proves to be a FIFO of ours; -1 with errno EEXIST or EPERM otherwise. It
// does not count as a reader or writer.
static int PinFifo(int nDir, const char* pszName, struct stat& st)
{
    const int nPin = openat(nDir, pszName, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (nPin < 0)
        return -1;
    int nErr = 0;
    if (fstat(nPin, &st) != 0)
        nErr = errno;
    else if (!S_ISFIFO(st.st_mode))
        nErr = EEXIST;
    else if (st.st_uid != geteuid())
        nErr = EPERM;
    // A FIFO of ours in a directory nobody else can change; a tight umask
    // may have left it without access for us.
    else if ((st.st_mode & 07777) != 0600 && fchmodat(nDir, pszName, 0600, 0) != 0)
        nErr = errno;
    if (nErr != 0) {
        close(nPin);
        errno = nErr;
        return -1;
    }
    return nPin;
}

// Opens (creating it if need be) our private directory; -1 with errno set.
static int OpenPrivateDir()
{
    std::string strParent, strName;
    PipeDirLocation(strParent, strName);
    const int nParent = open(strParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nParent < 0)
        return -1;
    if (mkdirat(nParent, strName.c_str(), 0700) != 0 && errno != EEXIST) {
        const int nErr = errno;
        close(nParent);
        errno = nErr;
        return -1;
    }
    const int nDir = openat(nParent, strName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int nErr = errno;
    close(nParent);
    if (nDir < 0) {
        // O_NOFOLLOW on a link gives ELOOP, a file gives ENOTDIR: both "not ours".
        errno = (nErr == ELOOP || nErr == ENOTDIR) ? EEXIST : nErr;
        return -1;
    }
    struct stat st;
    if (fstat(nDir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()
        || (st.st_mode & 0077) != 0) {
        close(nDir);
        errno = EPERM;
        return -1;
    }
    if ((st.st_mode & 0700) != 0700 && fchmod(nDir, 0700) != 0) {   // a tight umask
        const int nErrChmod = errno;
        close(nDir);
        errno = nErrChmod;
        return -1;
    }
    return nDir;
}

static int64_t MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string PipeDefaultPath()
{
    std::string strParent, strName;
    PipeDirLocation(strParent, strName);
    return strParent + "/" + strName + "/" + FIFO_NAME;
}

PIPE_HANDLE PipeCreateInstance(int32_t* pnError)
{
    IgnoreBrokenPipe();
    const std::string strPath = PipeDefaultPath();
    const int nDir = OpenPrivateDir();
    auto fail = [&](int nErr) {
        if (nDir >= 0)
            close(nDir);
        if (pnError != nullptr)
            *pnError = nErr;
        return INVALID_PIPE_HANDLE;
    };
    if (nDir < 0)
        return fail(errno);
    // One instance per user, as the Windows pipe allows one: a second program
    // feeding the same FIFO would interleave two streams. The lock lives as
    // long as the directory descriptor.
    if (flock(nDir, LOCK_EX | LOCK_NB) != 0)
        return fail(errno);
    if (mkfifoat(nDir, FIFO_NAME, 0600) != 0 && errno != EEXIST)
        return fail(errno);
    struct stat st;
    const int nPin = PinFifo(nDir, FIFO_NAME, st);
    if (nPin < 0)
        return fail(errno);

    CFifoInstance* pInst = new CFifoInstance;
    pInst->m_nDirFd = nDir;
    pInst->m_nPinFd = nPin;
    pInst->m_dev = st.st_dev;
    pInst->m_ino = st.st_ino;
    pInst->m_strPath = strPath;
    if (pnError != nullptr)
        *pnError = 0;
    return reinterpret_cast<PIPE_HANDLE>(pInst);
}

std::string PipeInstancePath(PIPE_HANDLE hPipe)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr ? pInst->m_strPath : std::string();
}

static int WakeFd(PIPE_WAKE hWake)
{
    return hWake == INVALID_PIPE_WAKE ? -1 : static_cast<int>(hWake);
}

static bool WakeSignalled(int nWakeFd)
{
    if (nWakeFd < 0)
        return false;
    struct pollfd pfd = {nWakeFd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

PIPE_WAKE PipeWakeCreate()
{
    const int nFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return nFd < 0 ? INVALID_PIPE_WAKE : static_cast<PIPE_WAKE>(nFd);
}

void PipeWakeSignal(PIPE_WAKE hWake)
{
    const int nFd = WakeFd(hWake);
    const uint64_t qwOne = 1;
    // Can only fail when the counter is near its limit: it is signalled then.
    if (nFd >= 0 && write(nFd, &qwOne, sizeof qwOne) < 0) {
    }
}

void PipeWakeReset(PIPE_WAKE hWake)
{
    const int nFd = WakeFd(hWake);
    uint64_t qwCount = 0;
    if (nFd >= 0 && read(nFd, &qwCount, sizeof qwCount) < 0) {   // EAGAIN: was not signalled
    }
}

void PipeWakeClose(PIPE_WAKE hWake)
{
    const int nFd = WakeFd(hWake);
    if (nFd >= 0)
        close(nFd);
}

int32_t PipeWaitForClient(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs, int32_t* pnError, PIPE_WAKE hWake)
{
    CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr) {
        if (pnError != nullptr)
            *pnError = EBADF;
        return PIPE_WAIT_ERROR;
    }
    if (pInst->m_nFifoFd >= 0)
        return PIPE_WAIT_CONNECTED;
    const int nWakeFd = WakeFd(hWake);
    const int64_t nDeadline = MonotonicMs() + dwTimeoutMs;
    int nFd = -1;
    for (;;) {
        if (WakeSignalled(nWakeFd))
            return PIPE_WAIT_CANCELLED;
        // Without a reader this fails with ENXIO; a reader that opened before
        // us (even one still blocked in its open) lets it succeed at once.
        // There is no readiness to wait for, hence the short polls.
        nFd = openat(pInst->m_nDirFd, FIFO_NAME, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (nFd >= 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != ENXIO) {
            if (pnError != nullptr)
                *pnError = errno == ELOOP ? EEXIST : errno;
            return PIPE_WAIT_ERROR;
        }
        const int64_t nLeft = nDeadline - MonotonicMs();
        if (nLeft <= 0)
            return PIPE_WAIT_TIMEOUT;
        struct pollfd pfd = {nWakeFd, POLLIN, 0};
        poll(&pfd, nWakeFd >= 0 ? 1 : 0, static_cast<int>(nLeft < CONNECT_POLL_MS ? nLeft : CONNECT_POLL_MS));
    }
    struct stat st;
    if (fstat(nFd, &st) != 0 || !SameFifo(st, *pInst)) {
        // Something replaced our FIFO: not a client of ours, nothing is written.
        close(nFd);
        if (pnError != nullptr)
            *pnError = EEXIST;
        return PIPE_WAIT_ERROR;
    }
    // The descriptor stays non-blocking: writes wait in poll(), where the
    // wake can end them.
    pInst->m_nFifoFd = nFd;
    return PIPE_WAIT_CONNECTED;
}

bool PipeHasClient(PIPE_HANDLE hPipe)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr && pInst->m_nFifoFd >= 0;
}

int32_t PipeWrite(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, PIPE_WAKE hWake, int32_t* pnResult)
{
    const uint32_t dwEnd = nLen > 0 ? static_cast<uint32_t>(nLen) : 0;
    return PipeWriteBlocks(hPipe, pData, nLen, &dwEnd, 1, hWake, pnResult);
}

static constexpr int32_t WAIT_WRITABLE = 0;
static constexpr int32_t WAIT_WOKEN = 1;
static constexpr int32_t WAIT_FAILED = 2;

static int32_t WaitWritable(int nFd, int nWakeFd)
{
    struct pollfd pfd[2] = {{nFd, POLLOUT, 0}, {nWakeFd, POLLIN, 0}};
    if (poll(pfd, nWakeFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
        return WAIT_FAILED;
    return nWakeFd >= 0 && (pfd[1].revents & POLLIN) != 0 ? WAIT_WOKEN : WAIT_WRITABLE;
}

// How many bytes the next write takes from nDone on: the whole blocks that
// fit into nMax, or else the rest of the (bigger) block at hand.
static size_t NextSpan(const uint32_t* pdwEnds, int32_t nEnds, int32_t& iEnd, size_t nDone, size_t nLen, size_t nMax)
{
    while (iEnd < nEnds && pdwEnds[iEnd] <= nDone)
        ++iEnd;
    if (iEnd >= nEnds)
        return nLen - nDone;
    size_t nSpanEnd = pdwEnds[iEnd];
    for (int32_t i = iEnd + 1; i < nEnds && pdwEnds[i] - nDone <= nMax; ++i)
        nSpanEnd = pdwEnds[i];
    return std::min(nSpanEnd, nLen) - nDone;
}

int32_t PipeWriteBlocks(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, const uint32_t* pdwEnds, int32_t nEnds,
                        PIPE_WAKE hWake, int32_t* pnResult)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || pInst->m_nFifoFd < 0 || pData == nullptr || nLen <= 0) {
        if (pnResult != nullptr)
            *pnResult = pInst != nullptr && pInst->m_nFifoFd >= 0 ? PIPE_IO_DONE : PIPE_IO_GONE;
        return 0;
    }
    const int nFd = pInst->m_nFifoFd;
    const int nCapacity = fcntl(nFd, F_GETPIPE_SZ);
    int32_t nResult = PIPE_IO_DONE;
    size_t nDone = 0;
    int32_t iEnd = 0;
    while (nDone < static_cast<size_t>(nLen)) {
        // An empty pipe takes a pipe-full in one write. Otherwise a write of
        // up to PIPE_BUF goes in whole or fails, so however a wait ends the
        // client has every block or none of it.
        int nUnread = -1;
        const bool bEmpty = nCapacity > 0 && ioctl(nFd, FIONREAD, &nUnread) == 0 && nUnread == 0;
        const size_t nMax = bEmpty ? static_cast<size_t>(nCapacity) : PIPE_WHOLE_BLOCK_BYTES;
        const size_t nSpan = NextSpan(pdwEnds, nEnds, iEnd, nDone, static_cast<size_t>(nLen), nMax);
        const ssize_t nMoved = write(nFd, pData + nDone, nSpan);
        if (nMoved > 0) {
            nDone += static_cast<size_t>(nMoved);
            continue;
        }
        if (nMoved < 0 && errno == EINTR)
            continue;
        if (nMoved == 0 || errno != EAGAIN) {
            nResult = PIPE_IO_GONE;   // EPIPE: the client has gone
            break;
        }
        const int32_t nWait = WaitWritable(nFd, WakeFd(hWake));
        if (nWait != WAIT_WRITABLE) {
            nResult = nWait == WAIT_WOKEN ? PIPE_IO_CANCELLED : PIPE_IO_GONE;
            break;
        }
    }
    if (pnResult != nullptr)
        *pnResult = nResult;
    return static_cast<int32_t>(nDone);
}

bool PipeClientGone(PIPE_HANDLE hPipe)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || pInst->m_nFifoFd < 0)
        return true;
    // The write end of a pipe reports POLLERR once no reader is left.
    struct pollfd pfd = {pInst->m_nFifoFd, POLLOUT, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

// Puts a fresh FIFO in place of ours in one step (the name never goes away).
// A client that still holds the old one, even one that has not yet read the
// end of its stream, can never be mistaken for a new client: it keeps the old
// FIFO, which nobody writes to again. If anything fails, the old FIFO stays.
static void ReplaceFifo(CFifoInstance& inst)
{
    if (mkfifoat(inst.m_nDirFd, FIFO_NEXT_NAME, 0600) != 0) {
        if (errno != EEXIST)
            return;
        unlinkat(inst.m_nDirFd, FIFO_NEXT_NAME, 0);   // left over; the directory is ours alone
        if (mkfifoat(inst.m_nDirFd, FIFO_NEXT_NAME, 0600) != 0)
            return;
    }
    struct stat stNext, stOld;
    const int nPin = PinFifo(inst.m_nDirFd, FIFO_NEXT_NAME, stNext);
    if (nPin < 0 || fstatat(inst.m_nDirFd, FIFO_NAME, &stOld, AT_SYMLINK_NOFOLLOW) != 0 || !SameFifo(stOld, inst)
        || renameat(inst.m_nDirFd, FIFO_NEXT_NAME, inst.m_nDirFd, FIFO_NAME) != 0) {
        if (nPin >= 0)
            close(nPin);
        unlinkat(inst.m_nDirFd, FIFO_NEXT_NAME, 0);
        return;
    }
    close(inst.m_nPinFd);
    inst.m_nPinFd = nPin;
    inst.m_dev = stNext.st_dev;
    inst.m_ino = stNext.st_ino;
}

void PipeReleaseClient(PIPE_HANDLE hPipe)
{
    CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || pInst->m_nFifoFd < 0)
        return;
    close(pInst->m_nFifoFd);
    pInst->m_nFifoFd = -1;
}

void PipeDisconnectClient(PIPE_HANDLE hPipe)
{
    CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || pInst->m_nFifoFd < 0)
        return;
    ReplaceFifo(*pInst);
    PipeReleaseClient(hPipe);
}

void PipeCloseInstance(PIPE_HANDLE hPipe)
{
    CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr)
        return;
    PipeReleaseClient(hPipe);
    struct stat st;
    if (fstatat(pInst->m_nDirFd, FIFO_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 && SameFifo(st, *pInst))
        unlinkat(pInst->m_nDirFd, FIFO_NAME, 0);
    close(pInst->m_nPinFd);
    close(pInst->m_nDirFd);   // releases the instance lock
    delete pInst;
}
