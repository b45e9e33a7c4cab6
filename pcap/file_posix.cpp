// Files, FIFOs and standard output through plain descriptors.
#include "pcap/file_api.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;   // less the umask, as any program's output file
constexpr int OPEN_RETRY_MS = 10;        // how often a FIFO is looked at for its reader

// A reader that goes away must show up as EPIPE, not kill the program.
void IgnoreBrokenPipe()
{
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

void SetError(COsError* pError, const COsError& err)
{
    if (pError != nullptr)
        *pError = err;
}

// Every open is non-blocking: a FIFO found where a file was named must never
// hold the caller (a dialog's window thread) until a reader comes. Cleared
// again for a regular file once it is known to be one.
constexpr int OPEN_BASE_FLAGS = O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
// A file named for CreateNew / Replace that changes kind between the look
// and the open is looked at again this many times.
constexpr int OPEN_FILE_TRIES = 3;

// Whether standard output was open when the process started. A descriptor
// opened later (an eventfd, a pipe) takes the lowest free number, which is 1
// when it was closed: that one must never be taken for standard output.
bool g_bStdoutOpenAtStart = true;

__attribute__((constructor(101))) void NoteStdoutAtStart()
{
    g_bStdoutOpenAtStart = fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

COsError StdoutClosedError()
{
    return OsErrorOfKind(EOsError::NotFound, "standard output is closed");
}

// What a file that is not the kind asked for is, for the user.
const char* KindOf(mode_t nMode)
{
    if (S_ISREG(nMode))
        return "a regular file";
    if (S_ISFIFO(nMode))
        return "a FIFO";
    if (S_ISCHR(nMode))
        return "a character device";
    if (S_ISBLK(nMode))
        return "a block device";
    if (S_ISSOCK(nMode))
        return "a socket";
    if (S_ISDIR(nMode))
        return "a directory";
    return "of another kind";
}

COsError WrongKindError(const char* pszWanted, mode_t nMode)
{
    const std::string strText = std::string("not ") + pszWanted + " (" + KindOf(nMode) + ")";
    return OsErrorOfKind(EOsError::WrongKind, strText.c_str());
}

// CreateNew / Replace: only a regular file is opened (or made), and nothing
// else is ever opened for writing: a FIFO, device or socket, also behind a
// symbolic link, is refused after a look at it, and a dangling link too
// (O_CREAT would make the file wherever it points). A link to a regular file
// is followed. The open itself makes sure of the look: an existing file is
// opened without O_CREAT, a missing one with O_EXCL, both without blocking,
// and what turns out not to be a regular file after all is closed unwritten.
int OpenRegular(const std::string& strPath, EFileOpen eHow, COsError* pError)
{
    COsError errLast = OsErrorFromCode(EAGAIN);
    for (int i = 0; i < OPEN_FILE_TRIES; ++i) {
        struct stat st;
        const bool bExists = stat(strPath.c_str(), &st) == 0;
        if (!bExists && errno != ENOENT) {
            SetError(pError, OsLastError());
            return -1;
        }
        struct stat stLink;
        if (!bExists && lstat(strPath.c_str(), &stLink) == 0 && S_ISLNK(stLink.st_mode)) {
            SetError(pError, OsErrorOfKind(EOsError::WrongKind, "a symbolic link to nothing (its target is missing)"));
            return -1;
        }
        if (bExists && !S_ISREG(st.st_mode)) {
            SetError(pError, WrongKindError("a regular file", st.st_mode));
            return -1;
        }
        if (bExists && eHow == EFileOpen::CreateNew) {
            SetError(pError, OsErrorFromCode(EEXIST));
            return -1;
        }
        const int nFlags = OPEN_BASE_FLAGS | (bExists ? O_TRUNC : O_CREAT | O_EXCL);
        const int nFd = open(strPath.c_str(), nFlags, NEW_FILE_MODE);
        if (nFd < 0) {
            // Gone, come, or swapped for a FIFO without a reader since the look.
            if (errno != EINTR && errno != ENOENT && errno != EEXIST && errno != ENXIO) {
                SetError(pError, OsLastError());
                return -1;
            }
            errLast = OsLastError();
            continue;
        }
        const bool bStat = fstat(nFd, &st) == 0;
        if (!bStat || !S_ISREG(st.st_mode)) {
            errLast = bStat ? WrongKindError("a regular file", st.st_mode) : OsLastError();
            close(nFd);
            continue;   // swapped since the look: the next look tells what it is
        }
        const int nFl = fcntl(nFd, F_GETFL);
        if (nFl == -1 || fcntl(nFd, F_SETFL, nFl & ~O_NONBLOCK) != 0) {
            SetError(pError, OsLastError());
            close(nFd);
            return -1;
        }
        return nFd;
    }
    SetError(pError, errLast);
    return -1;
}

COsError WokenError()
{
    return OsErrorOfKind(EOsError::TimedOut, "the wait for the reader was given up");
}

// Waits until nFd takes data (or shows its error) or the wake is signalled.
// True: write now.
bool WaitWritable(int nFd, QM_FILE_WAKE hWake)
{
    struct pollfd pfd[2] = {{nFd, POLLOUT, 0}, {static_cast<int>(hWake), POLLIN, 0}};
    const nfds_t nCount = hWake == INVALID_QM_FILE_WAKE ? 1 : 2;
    while (poll(pfd, nCount, -1) < 0) {
        if (errno != EINTR)
            return true;   // the write shows what is wrong
    }
    return (pfd[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0 || (pfd[1].revents & POLLIN) == 0;
}

bool IsWoken(QM_FILE_WAKE hWake, int nTimeoutMs)
{
    if (hWake == INVALID_QM_FILE_WAKE) {
        poll(nullptr, 0, nTimeoutMs);
        return false;
    }
    struct pollfd pfd = {static_cast<int>(hWake), POLLIN, 0};
    return poll(&pfd, 1, nTimeoutMs) > 0 && (pfd.revents & POLLIN) != 0;
}

// Existing: only a FIFO (also behind a symbolic link), as Wireshark hands
// one; anything else is refused after a look, untouched (never truncated,
// never written). A FIFO opened without waiting fails with ENXIO while it
// has no reader: looked at again until one comes or the wake is signalled.
int OpenExisting(const std::string& strPath, QM_FILE_WAKE hWake, COsError* pError)
{
    for (;;) {
        struct stat st;
        if (stat(strPath.c_str(), &st) != 0) {
            if (errno == EINTR)
                continue;
            SetError(pError, OsLastError());
            return -1;
        }
        if (!S_ISFIFO(st.st_mode)) {
            SetError(pError, WrongKindError("a FIFO", st.st_mode));
            return -1;
        }
        const int nFd = open(strPath.c_str(), OPEN_BASE_FLAGS);
        if (nFd >= 0) {
            if (fstat(nFd, &st) == 0 && S_ISFIFO(st.st_mode))
                return nFd;
            close(nFd);   // swapped since the look: the next look refuses it
            continue;
        }
        if (errno != ENXIO && errno != EINTR) {
            SetError(pError, OsLastError());
            return -1;
        }
        if (IsWoken(hWake, OPEN_RETRY_MS)) {
            SetError(pError, WokenError());
            return -1;
        }
    }
}

} // namespace

QM_FILE_WAKE FileWakeCreate()
{
    const int nFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return nFd < 0 ? INVALID_QM_FILE_WAKE : static_cast<QM_FILE_WAKE>(nFd);
}

void FileWakeSignal(QM_FILE_WAKE hWake)
{
    const uint64_t qwOne = 1;
    if (hWake != INVALID_QM_FILE_WAKE && write(static_cast<int>(hWake), &qwOne, sizeof qwOne) < 0) {
        // EAGAIN: the counter is full, so it is signalled already.
    }
}

void FileWakeClose(QM_FILE_WAKE hWake)
{
    if (hWake != INVALID_QM_FILE_WAKE)
        close(static_cast<int>(hWake));
}

size_t FilePipeAtomicMax()
{
    return PIPE_BUF;
}

QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, QM_FILE_WAKE hWake, COsError* pError)
{
    IgnoreBrokenPipe();
    int nFd = -1;
    if (eHow == EFileOpen::Stdout) {
        nFd = g_bStdoutOpenAtStart ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0) : -1;
        if (nFd < 0) {
            SetError(pError, !g_bStdoutOpenAtStart || errno == EBADF ? StdoutClosedError() : OsLastError());
            return INVALID_QM_FILE;
        }
    } else if (eHow == EFileOpen::Existing) {
        // Left non-blocking: a full FIFO is waited for in FileWriteAll.
        nFd = OpenExisting(strPath, hWake, pError);
    } else {
        nFd = OpenRegular(strPath, eHow, pError);
    }
    if (nFd < 0)
        return INVALID_QM_FILE;
    SetError(pError, COsError());
    return static_cast<QM_FILE>(nFd);
}

// Standard output stays blocking (others may share it): with a wake, every
// write waits for room first, so a pipe whose reader stalls never holds the
// writer in write() (a write of at most PIPE_BUF bytes then goes at once). A
// FIFO we opened, or an output left non-blocking by whoever shares it, says
// EAGAIN and is waited for the same way.
bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, QM_FILE_WAKE hWake, size_t* pnDone,
    COsError* pError, bool bMayBlock)
{
    const int nFd = static_cast<int>(hFile);
    size_t nDone = 0;
    bool bOk = true;
    bool bWaitFirst = hWake != INVALID_QM_FILE_WAKE && bMayBlock;
    while (nDone < nLen) {
        if (bWaitFirst && !WaitWritable(nFd, hWake)) {
            SetError(pError, WokenError());
            bOk = false;
            break;
        }
        const ssize_t nMoved = write(nFd, pData + nDone, nLen - nDone);
        const int nErr = errno;
        if (nMoved > 0) {
            nDone += static_cast<size_t>(nMoved);
            continue;
        }
        if (nMoved < 0 && nErr == EINTR)
            continue;
        if (nMoved < 0 && nErr == EAGAIN) {
            // No room although the wait said so (a socket): never spun on once woken.
            if (hWake == INVALID_QM_FILE_WAKE) {
                WaitWritable(nFd, hWake);
                continue;
            }
            if (!bWaitFirst) {
                bWaitFirst = true;   // no room: waited for (or woken) from now on
                continue;
            }
            if (!IsWoken(hWake, 0))
                continue;
            SetError(pError, WokenError());
        } else {
            SetError(pError, nMoved == 0 ? OsErrorFromCode(EIO) : OsErrorFromCode(nErr));
        }
        bOk = false;
        break;
    }
    if (pnDone != nullptr)
        *pnDone = nDone;
    return bOk;
}

bool FileTruncate(QM_FILE hFile, uint64_t qwSize, COsError* pError)
{
    const int nFd = static_cast<int>(hFile);
    struct stat st;
    if (fstat(nFd, &st) != 0) {
        SetError(pError, OsLastError());
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        SetError(pError, OsErrorOfKind(EOsError::WrongKind, "not a regular file"));
        return false;
    }
    const off_t nSize = static_cast<off_t>(qwSize);
    if (nSize < 0 || static_cast<uint64_t>(nSize) != qwSize) {
        SetError(pError, OsErrorFromCode(EINVAL));
        return false;
    }
    int nRc;
    do {
        nRc = ftruncate(nFd, nSize);
    } while (nRc != 0 && errno == EINTR);
    if (nRc != 0 || lseek(nFd, nSize, SEEK_SET) != nSize) {
        SetError(pError, OsLastError());
        return false;
    }
    SetError(pError, COsError());
    return true;
}

bool FilePipeReaderGone(QM_FILE hFile)
{
    // A pipe whose readers have all left polls as an error; a file, or a
    // pipe still read, never does.
    struct pollfd pfd = {static_cast<int>(hFile), POLLOUT, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

bool FileClose(QM_FILE hFile, COsError* pError)
{
    if (hFile == INVALID_QM_FILE)
        return true;
    // EINTR from close leaves the descriptor closed on Linux: never retried.
    if (close(static_cast<int>(hFile)) != 0 && errno != EINTR) {
        SetError(pError, OsLastError());
        return false;
    }
    return true;
}

bool FileWriteMayBlock(QM_FILE hFile)
{
    const int nFd = static_cast<int>(hFile);
    struct stat st;
    if (fstat(nFd, &st) == 0 && S_ISREG(st.st_mode))
        return false;
    const int nFlags = fcntl(nFd, F_GETFL);
    return nFlags < 0 || (nFlags & O_NONBLOCK) == 0;
}
