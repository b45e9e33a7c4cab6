// Writing to the client and the wake that ends waits and writes: an eventfd
// that poll() watches beside the FIFO.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "pcap/pipe_fifo_posix.h"

static_assert(PIPE_WHOLE_BLOCK_BYTES <= PIPE_BUF, "a write up to PIPE_BUF bytes is all or nothing");

PIPE_WAKE PipeWakeCreate(COsError* pError)
{
    const int nFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (pError != nullptr)
        *pError = nFd < 0 ? OsLastError() : COsError();
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

// How many bytes one write may take and still leave the client whole blocks.
// A write of up to PIPE_BUF goes in whole or fails, so however a wait ends the
// client has every block or none of it; an empty pipe takes a pipe-full in one
// write. The room is only looked at when more than PIPE_BUF is left: a small
// batch (the common case) costs one write and nothing else.
static size_t MaxWholeSpan(int nFd, size_t nLeft, int* pnCapacity)
{
    if (nLeft <= PIPE_WHOLE_BLOCK_BYTES)
        return PIPE_WHOLE_BLOCK_BYTES;
    if (*pnCapacity == 0)
        *pnCapacity = fcntl(nFd, F_GETPIPE_SZ);
    int nUnread = -1;
    const bool bEmpty = *pnCapacity > 0 && ioctl(nFd, FIONREAD, &nUnread) == 0 && nUnread == 0;
    return bEmpty ? static_cast<size_t>(*pnCapacity) : PIPE_WHOLE_BLOCK_BYTES;
}

// Every write here moves whole spans of blocks, so no earlier write has
// stopped inside a block: there is never a head to finish (dwHeadSent is 0).
bool PipeNoWaitIsExact()
{
    return true;   // a non-blocking write() returns what the FIFO took
}

int32_t PipeWriteBlocks(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, const uint32_t* pdwEnds, int32_t nEnds,
                        PIPE_WAKE hWake, int32_t* pnResult, uint32_t /*dwHeadSent*/)
{
    const CFifoInstance* pInst = FromHandle(hPipe);
    if (pInst == nullptr || pInst->m_nFifoFd < 0 || pData == nullptr || nLen <= 0) {
        if (pnResult != nullptr)
            *pnResult = pInst != nullptr && pInst->m_nFifoFd >= 0 ? PIPE_IO_DONE : PIPE_IO_GONE;
        return 0;
    }
    const int nFd = pInst->m_nFifoFd;
    int nCapacity = 0;   // looked up when first needed
    int32_t nResult = PIPE_IO_DONE;
    size_t nDone = 0;
    int32_t iEnd = 0;
    while (nDone < static_cast<size_t>(nLen)) {
        const size_t nMax = MaxWholeSpan(nFd, static_cast<size_t>(nLen) - nDone, &nCapacity);
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
        if (hWake == PIPE_WAKE_NO_WAIT) {
            nResult = PIPE_IO_CANCELLED;
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
