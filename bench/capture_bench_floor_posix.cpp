#include "bench/capture_bench_floor_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/capture_bench_frames.h"
#include "serial/comm_api.h"

namespace {

constexpr int32_t FLOOR_POLL_MS = 100;
constexpr size_t FLOOR_PIECE = 100;   // about what the line brings in 1 ms
constexpr size_t FLOOR_WRITE_MAX = 4096;

int64_t ThreadCpuNs(std::thread& thread)
{
    clockid_t clk;
    struct timespec ts;
    if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &clk) != 0
        || clock_gettime(clk, &ts) != 0)
        return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Latencies, sorted: the one at the given share (0..1) in ms.
double LatencyAtMs(const std::vector<int64_t>& vecNs, double dShare)
{
    if (vecNs.empty())
        return -1;
    const size_t nAt = std::min(vecNs.size() - 1, static_cast<size_t>(dShare * static_cast<double>(vecNs.size())));
    return static_cast<double>(vecNs[nAt]) / 1e6;
}

// The pipe reader's side. bStamped: every FLOOR_PIECE bytes are a piece
// stamped with when it was written, and at the end of the stream the p50 and
// p99 of write to read go back through fdResult (-1 without stamps).
void ReadStampedPieces(int fdRead, int fdResult, bool bStamped)
{
    if (!bStamped) {
        uint8_t byDrain[FLOOR_WRITE_MAX];
        while (read(fdRead, byDrain, sizeof byDrain) > 0) {
        }
        const double adNone[2] = {-1, -1};
        (void)!write(fdResult, adNone, sizeof adNone);
        return;
    }
    std::vector<int64_t> vecNs;
    uint8_t byPiece[FLOOR_PIECE];
    size_t nHave = 0;
    for (;;) {
        const ssize_t nGot = read(fdRead, byPiece + nHave, FLOOR_PIECE - nHave);
        if (nGot <= 0)
            break;
        nHave += static_cast<size_t>(nGot);
        if (nHave < FLOOR_PIECE)
            continue;
        int64_t nStamp = 0;
        std::memcpy(&nStamp, byPiece, sizeof nStamp);
        vecNs.push_back(BenchNowNs() - nStamp);
        nHave = 0;
    }
    std::sort(vecNs.begin(), vecNs.end());
    const double adMs[2] = {LatencyAtMs(vecNs, 0.5), LatencyAtMs(vecNs, 0.99)};
    if (write(fdResult, adMs, sizeof adMs) < 0)
        return;
}

// A child process that reads a FIFO until it closes, noting the pieces'
// latencies (sent back through *pfdResult). A FIFO in /tmp, as Wireshark's
// is: writing to one also keeps its inode's times, which an anonymous pipe
// does not have.
pid_t StartPipeReader(const std::string& strFifo, bool bStamped, int* pfdWrite, int* pfdResult)
{
    int afdResult[2];
    if (mkfifo(strFifo.c_str(), 0600) != 0 || pipe(afdResult) != 0)
        return -1;
    const char* pszFifo = strFifo.c_str();
    const pid_t pid = fork();
    if (pid == 0) {
        close(afdResult[0]);
        const int fdRead = open(pszFifo, O_RDONLY);
        if (fdRead >= 0)
            ReadStampedPieces(fdRead, afdResult[1], bStamped);
        _exit(0);
    }
    close(afdResult[1]);
    const int fdWrite = pid > 0 ? open(pszFifo, O_WRONLY) : -1;   // waits for the reader's open
    if (fdWrite < 0) {
        close(afdResult[0]);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
    *pfdWrite = fdWrite;
    *pfdResult = afdResult[0];
    return pid;
}

// The next write of a feed: when it is due (ns after the start) and how
// long it is; *pqwBytes and *pdwSeq, the bytes and frames written so far.
int64_t NextPiece(const CFloorFeed& feed, int64_t nPiece, uint64_t* pqwBytes, uint32_t* pdwSeq, size_t* pnLen)
{
    const int64_t nPeriodNs = static_cast<int64_t>(feed.m_nPeriodUs) * 1000;
    if (feed.m_eFeed == EFloorFeed::Even) {
        *pnLen = FLOOR_PIECE;
        return (nPiece + 1) * nPeriodNs;
    }
    if (feed.m_eFeed == EFloorFeed::Frames) {
        const int64_t nDue = static_cast<int64_t>(*pqwBytes * 1000000000 / feed.m_dwRate);
        *pnLen = static_cast<size_t>(BenchFrameLength((*pdwSeq)++));
        *pqwBytes += *pnLen;
        return nDue;
    }
    const int64_t nDue = (nPiece + 1) * nPeriodNs;
    const uint64_t qwDue = static_cast<uint64_t>(nDue) * feed.m_dwRate / 1000000000;
    *pnLen = 0;
    while (*pqwBytes + static_cast<uint64_t>(BenchFrameLength(*pdwSeq)) <= qwDue
           && *pnLen + static_cast<size_t>(BenchFrameLength(*pdwSeq)) <= FLOOR_WRITE_MAX) {
        const size_t nFrame = static_cast<size_t>(BenchFrameLength((*pdwSeq)++));
        *pnLen += nFrame;
        *pqwBytes += nFrame;
    }
    return nDue;
}

// Until nAtNs on BenchNowNs's clock (CLOCK_MONOTONIC), through signals.
void SleepUntilNs(int64_t nAtNs)
{
    const struct timespec ts = {static_cast<time_t>(nAtNs / 1000000000), static_cast<long>(nAtNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The writer's side, in a process of its own as the dongle's feeder is (a
// writer sharing the reader's address space would spare every wake-up the
// switch between address spaces, which a virtual machine makes dear): the
// feed's writes for nMs, then _exit. Only calls that are safe in a child
// forked from a process with threads.
[[noreturn]] void WritePieces(int fdMaster, const CFloorFeed& feed, int32_t nMs, int64_t nStart)
{
    uint8_t byPiece[FLOOR_WRITE_MAX] = {};
    uint64_t qwBytes = 0;
    uint32_t dwSeq = 0;
    for (int64_t k = 0;; ++k) {
        size_t nLen = 0;
        const int64_t nDue = nStart + NextPiece(feed, k, &qwBytes, &dwSeq, &nLen);
        if (nDue - nStart >= static_cast<int64_t>(nMs) * 1000000)
            break;
        SleepUntilNs(nDue);
        const int64_t nStamp = BenchNowNs();
        std::memcpy(byPiece, &nStamp, sizeof nStamp);
        if (nLen > 0 && write(fdMaster, byPiece, nLen) < 0)
            break;
    }
    _exit(0);
}

// The reader thread, and the thread or process it hands each piece to.
class CFloorRig {
public:
    CFloorRig(int fdSlave, EFloorWork eWork, int fdPipe) : m_fdSlave(fdSlave), m_fdPipe(fdPipe)
    {
        const bool bHandOff = eWork == EFloorWork::HandOff;
        m_reader = std::thread([this, bHandOff] { Read(bHandOff); });
        if (bHandOff)
            m_taker = std::thread([this] { Take(); });
    }
    ~CFloorRig()
    {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_bRun.store(false);
        }
        m_cv.notify_one();
        m_reader.join();
        if (m_taker.joinable())
            m_taker.join();
    }
    int64_t CpuNs() { return ThreadCpuNs(m_reader) + ThreadCpuNs(m_taker); }
    uint64_t Wakes() const { return m_qwWakes.load(); }

private:
    void Read(bool bHandOff)
    {
        // At the capture's serial reader's priority: the scheduler treats a
        // raised thread differently (it preempts more), and that is no work
        // of the capture's own.
        CommRaiseThreadPriority();
        uint8_t by[4096];
        while (m_bRun.load()) {
            struct pollfd pfd = {m_fdSlave, POLLIN, 0};
            if (poll(&pfd, 1, FLOOR_POLL_MS) <= 0)
                continue;
            const ssize_t nGot = read(m_fdSlave, by, sizeof(by));
            if (nGot <= 0)
                continue;
            m_qwWakes.fetch_add(1);
            if (m_fdPipe >= 0 && write(m_fdPipe, by, static_cast<size_t>(nGot)) < 0)
                continue;
            if (bHandOff) {
                {
                    std::lock_guard<std::mutex> lock(m_mtx);
                    ++m_qwPending;
                }
                m_cv.notify_one();
            }
        }
    }
    void Take()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        while (m_bRun.load()) {
            m_cv.wait(lock, [this] { return m_qwPending > 0 || !m_bRun.load(); });
            m_qwPending = 0;
        }
    }

    int m_fdSlave;
    int m_fdPipe;   // -1: nothing is written on
    std::atomic<bool> m_bRun {true};
    std::atomic<uint64_t> m_qwWakes {0};
    std::mutex m_mtx;
    std::condition_variable m_cv;
    uint64_t m_qwPending = 0;
    std::thread m_reader;
    std::thread m_taker;
};

// The rig's CPU % in each whole slice of the nMs from nStart; how many.
int32_t TakeSlices(CFloorRig& rig, int64_t nStart, int64_t nCpu0, int32_t nMs, double* pdPercent)
{
    const int32_t nSlices = std::min(nMs / FLOOR_SLICE_MS, FLOOR_MAX_SLICES);
    int64_t nCpuLast = nCpu0;
    int64_t nLast = nStart;
    for (int32_t i = 0; i < nSlices; ++i) {
        SleepUntilNs(nStart + static_cast<int64_t>(i + 1) * FLOOR_SLICE_MS * 1000000);
        const int64_t nCpu = rig.CpuNs();
        const int64_t nNow = BenchNowNs();
        pdPercent[i] = 100.0 * static_cast<double>(nCpu - nCpuLast) / static_cast<double>(nNow - nLast);
        nCpuLast = nCpu;
        nLast = nNow;
    }
    return nSlices;
}

} // namespace

CWakeFloor MeasureWakeFloor(const CFloorFeed& feed, int32_t nMs, EFloorWork eWork, int64_t nStartAtNs)
{
    const bool bStamped = feed.m_eFeed == EFloorFeed::Even;
    CWakeFloor floor;
    int fdMaster = -1;
    int fdSlave = -1;
    if (openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr) != 0)
        return floor;
    struct termios tio;
    if (tcgetattr(fdSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fdSlave, TCSANOW, &tio);
    }
    int fdPipe = -1;
    int fdResult = -1;
    char szDir[] = "/tmp/qm-floor-XXXXXX";
    const bool bPipe = eWork == EFloorWork::PipeOut;
    const std::string strFifo = bPipe && mkdtemp(szDir) != nullptr ? std::string(szDir) + "/fifo" : std::string();
    const pid_t pidReader = !bPipe ? 0 : strFifo.empty() ? -1 : StartPipeReader(strFifo, bStamped, &fdPipe, &fdResult);
    if (pidReader < 0) {
        if (!strFifo.empty()) {
            unlink(strFifo.c_str());
            rmdir(szDir);
        }
        close(fdMaster);
        close(fdSlave);
        return floor;
    }
    {
        CFloorRig rig(fdSlave, eWork, fdPipe);
        const int64_t nStart = std::max(BenchNowNs(), nStartAtNs);
        SleepUntilNs(nStart);
        const int64_t nCpu0 = rig.CpuNs();
        const pid_t pidWriter = fork();
        if (pidWriter == 0)
            WritePieces(fdMaster, feed, nMs, nStart);   // does not return
        if (pidWriter > 0) {
            floor.m_nSlices = TakeSlices(rig, nStart, nCpu0, nMs, floor.m_adSlicePercent);
            waitpid(pidWriter, nullptr, 0);
        }
        usleep(static_cast<useconds_t>(feed.m_nPeriodUs));   // the last piece is relayed
        const int64_t nCpu = rig.CpuNs() - nCpu0;
        const int64_t nWall = BenchNowNs() - nStart;
        if (pidWriter > 0 && rig.Wakes() > 0) {
            floor.m_dCpuPercent = 100.0 * static_cast<double>(nCpu) / static_cast<double>(nWall);
            floor.m_dUsPerWake = static_cast<double>(nCpu) / 1e3 / static_cast<double>(rig.Wakes());
        }
    }
    close(fdMaster);
    close(fdSlave);
    if (pidReader > 0) {
        close(fdPipe);
        double adMs[2] = {-1, -1};
        if (read(fdResult, adMs, sizeof adMs) == static_cast<ssize_t>(sizeof adMs)) {
            floor.m_dP50Ms = adMs[0];
            floor.m_dP99Ms = adMs[1];
        }
        close(fdResult);
        waitpid(pidReader, nullptr, 0);
        unlink(strFifo.c_str());
        rmdir(szDir);
    }
    return floor;
}

namespace {

struct CFloorOrder {
    CFloorFeed m_feed;
    int32_t m_nMs;
    int64_t m_nStartAtNs;
};

// The measuring process: one floor per order, until the order pipe closes.
void ServeFloorOrders(int fdOrder, int fdResult)
{
    CFloorOrder order;
    while (read(fdOrder, &order, sizeof order) == static_cast<ssize_t>(sizeof order)) {
        const CWakeFloor floor = MeasureWakeFloor(order.m_feed, order.m_nMs, EFloorWork::PipeOut, order.m_nStartAtNs);
        if (write(fdResult, &floor, sizeof floor) != static_cast<ssize_t>(sizeof floor))
            return;
    }
}

} // namespace

CFloorLink::~CFloorLink()
{
    Exit();
}

bool CFloorLink::Start()
{
    int afdOrder[2];
    int afdResult[2];
    if (pipe(afdOrder) != 0)
        return false;
    if (pipe(afdResult) != 0) {
        close(afdOrder[0]);
        close(afdOrder[1]);
        return false;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(afdOrder[1]);
        close(afdResult[0]);
        ServeFloorOrders(afdOrder[0], afdResult[1]);
        _exit(0);
    }
    close(afdOrder[0]);
    close(afdResult[1]);
    m_fdOrder = afdOrder[1];
    m_fdResult = afdResult[0];
    if (m_pid < 0) {
        Exit();
        return false;
    }
    return true;
}

bool CFloorLink::Begin(const CFloorFeed& feed, int32_t nMs, int64_t nStartAtNs)
{
    const CFloorOrder order = {feed, nMs, nStartAtNs};
    return m_fdOrder >= 0 && write(m_fdOrder, &order, sizeof order) == static_cast<ssize_t>(sizeof order);
}

bool CFloorLink::Collect(CWakeFloor* pFloor, int32_t nTimeoutMs)
{
    struct pollfd pfd = {m_fdResult, POLLIN, 0};
    int nReady;
    while ((nReady = poll(&pfd, 1, nTimeoutMs)) < 0 && errno == EINTR) {
    }
    return nReady > 0 && read(m_fdResult, pFloor, sizeof *pFloor) == static_cast<ssize_t>(sizeof *pFloor);
}

void CFloorLink::Exit()
{
    if (m_fdOrder >= 0)
        close(m_fdOrder);
    if (m_fdResult >= 0)
        close(m_fdResult);
    m_fdOrder = m_fdResult = -1;
    if (m_pid > 0)
        waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}
