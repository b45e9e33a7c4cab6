// The Wireshark pipe as a FIFO "wireshark0" in $XDG_RUNTIME_DIR/quillmark/
// (or /tmp/quillmark-<uid>/). The directory must be a real directory of ours
// with no access for anyone else; every lookup goes through its descriptor
// with O_NOFOLLOW, and whatever we open is checked to be the FIFO we made (its
// inode pinned by an O_PATH descriptor so that its number cannot be handed to
// another file), so a link, file or other FIFO planted there is refused, never
// followed or written through.
#include "pcap/pipe_fifo_posix.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* const FIFO_NAME = "wireshark0";
static const char* const FIFO_NEXT_NAME = "wireshark0.next";
static constexpr int32_t CONNECT_POLL_MS = 10;   // how often we look for a reader

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

// EEXIST here always means that something not ours stands at our path: the
// pipe is of the wrong kind, not a file the caller meant to make anew.
static COsError PipeError(int nErr)
{
    COsError err = OsErrorFromCode(nErr);
    if (nErr == EEXIST)
        err.m_eKind = EOsError::WrongKind;
    return err;
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

PIPE_HANDLE PipeCreateInstance(COsError* pError)
{
    IgnoreBrokenPipe();
    const std::string strPath = PipeDefaultPath();
    const int nDir = OpenPrivateDir();
    auto fail = [&](int nErr) {
        if (nDir >= 0)
            close(nDir);
        if (pError != nullptr)
            *pError = PipeError(nErr);
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
    if (pError != nullptr)
        *pError = COsError();
    return reinterpret_cast<PIPE_HANDLE>(pInst);
}

std::string PipeInstancePath(PIPE_HANDLE hPipe)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    return pInst != nullptr ? pInst->m_strPath : std::string();
}

int32_t PipeWaitForClient(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs, COsError* pError, PIPE_WAKE hWake)
{
    CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr) {
        if (pError != nullptr)
            *pError = PipeError(EBADF);
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
            if (pError != nullptr)
                *pError = PipeError(errno == ELOOP ? EEXIST : errno);
            return PIPE_WAIT_ERROR;
        }
        const int64_t nLeft = nDeadline - MonotonicMs();
        if (nLeft <= 0) {
            if (pError != nullptr)
                *pError = PipeError(ETIMEDOUT);
            return PIPE_WAIT_TIMEOUT;
        }
        struct pollfd pfd = {nWakeFd, POLLIN, 0};
        poll(&pfd, nWakeFd >= 0 ? 1 : 0, static_cast<int>(nLeft < CONNECT_POLL_MS ? nLeft : CONNECT_POLL_MS));
    }
    struct stat st;
    if (fstat(nFd, &st) != 0 || !SameFifo(st, *pInst)) {
        // Something replaced our FIFO: not a client of ours, nothing is written.
        close(nFd);
        if (pError != nullptr)
            *pError = PipeError(EEXIST);
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
