// Files, FIFOs and standard output through plain descriptors.
#include "pcap/file_api.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;   // less the umask, as any program's output file

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

int OpenFlags(EFileOpen eHow)
{
    const int nBase = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    switch (eHow) {
    case EFileOpen::CreateNew:
        return nBase | O_CREAT | O_EXCL;
    case EFileOpen::Replace:
        return nBase | O_CREAT | O_TRUNC;
    default:
        return nBase;
    }
}

// Standard output may have been left non-blocking by whoever shares it.
bool WaitWritable(int nFd)
{
    struct pollfd pfd = {nFd, POLLOUT, 0};
    while (poll(&pfd, 1, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

} // namespace

QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, COsError* pError)
{
    IgnoreBrokenPipe();
    int nFd = -1;
    if (eHow == EFileOpen::Stdout) {
        nFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        // A FIFO's open waits here until its reader has opened it.
        do {
            nFd = open(strPath.c_str(), OpenFlags(eHow), NEW_FILE_MODE);
        } while (nFd < 0 && errno == EINTR);
    }
    if (nFd < 0) {
        SetError(pError, OsLastError());
        return INVALID_QM_FILE;
    }
    // A regular file named where a pipe was expected is written from its
    // start: what it held beyond our stream would follow it as garbage.
    struct stat st;
    if (eHow == EFileOpen::Existing && fstat(nFd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(nFd, 0) != 0) {
        SetError(pError, OsLastError());
        close(nFd);
        return INVALID_QM_FILE;
    }
    SetError(pError, COsError());
    return static_cast<QM_FILE>(nFd);
}

bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, size_t* pnDone, COsError* pError)
{
    const int nFd = static_cast<int>(hFile);
    size_t nDone = 0;
    bool bOk = true;
    while (nDone < nLen) {
        const ssize_t nMoved = write(nFd, pData + nDone, nLen - nDone);
        if (nMoved > 0) {
            nDone += static_cast<size_t>(nMoved);
            continue;
        }
        if (nMoved < 0 && errno == EINTR)
            continue;
        if (nMoved < 0 && errno == EAGAIN && WaitWritable(nFd))
            continue;
        SetError(pError, nMoved == 0 ? OsErrorFromCode(EIO) : OsLastError());
        bOk = false;
        break;
    }
    if (pnDone != nullptr)
        *pnDone = nDone;
    return bOk;
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
