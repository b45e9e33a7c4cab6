// qm-uart-bench: pushes a sniffer frame stream through a pseudo-terminal into
// CUartPort while another thread drains the receive ring, and reports
//   1. sustained throughput with the line unpaced (at most half a receive ring in
//      flight, as a real line's rate would keep it), and the bytes dropped;
//   2. the reader thread's CPU time at the dongle's line rate (paced).
// Exit status 0 when both targets hold: >= 10 MB/s with nothing dropped or
// corrupted, and the reader under 1% of one core at the line rate.
//
//   qm-uart-bench [--mb N] [--seconds S] [--rate BYTES_PER_S]
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_names.h"
#include "serial/uart_port.h"

namespace {

constexpr int32_t BENCH_PORT = 250;
constexpr double MIN_THROUGHPUT_MB_S = 10.0;
constexpr double MAX_LINE_RATE_CPU_PERCENT = 1.0;
constexpr size_t UNPACED_PIECE = 16384;
constexpr uint64_t UNPACED_WINDOW = UART_RX_RING_SIZE / 2;

struct CBenchOptions {
    uint64_t m_qwBytes = 64ull << 20;
    double m_dSeconds = 5.0;
    uint32_t m_dwRate = 100000;
};

// The dongle's frames: 00 01 LEN and LEN body bytes (a sequence number first);
// lengths vary over the whole range a data frame can have.
class CFrameSource {
public:
    // Appends one frame to by; returns its length.
    size_t Next(std::vector<uint8_t>& by)
    {
        const uint8_t byLen = static_cast<uint8_t>(5 + (m_dwSeq * 97) % 251);
        by.push_back(0x00);
        by.push_back(0x01);
        by.push_back(byLen);
        for (uint8_t i = 0; i < byLen; ++i)
            by.push_back(static_cast<uint8_t>(i < 4 ? m_dwSeq >> (8 * i) : m_dwSeq * 31 + i));
        ++m_dwSeq;
        return 3u + byLen;
    }

private:
    uint32_t m_dwSeq = 0;
};

// FNV-1a over the stream: equal on both sides only when nothing was lost,
// duplicated, reordered or changed.
struct CStreamHash {
    uint64_t m_qwHash = 1469598103934665603ull;
    uint64_t m_qwBytes = 0;
    void Add(const uint8_t* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            m_qwHash = (m_qwHash ^ p[i]) * 1099511628211ull;
        m_qwBytes += n;
    }
};

// The owner's side: woken by the comm-event hook like the capture controller's
// posted message, it drains the receive ring.
class CDrain {
public:
    // The port's comm-event hook; its context is the drain.
    static void Hook(void* pContext, CUartPort* pPort, uint32_t dwMask)
    {
        if ((dwMask & EV_RXCHAR) == 0)
            return;
        CDrain* pSelf = static_cast<CDrain*>(pContext);
        pSelf->m_qwPasses.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(pSelf->m_mtx);
        pSelf->m_bPosted = true;
        pSelf->m_cv.notify_one();
        (void)pPort;
    }

    explicit CDrain(CUartPort& port) : m_port(port) {}

    void Run()
    {
        std::vector<uint8_t> by(65536);
        while (!m_bStop.load()) {
            {
                std::unique_lock<std::mutex> lock(m_mtx);
                m_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return m_bPosted; });
                m_bPosted = false;
            }
            int32_t n = 0;
            while ((n = m_port.Read(by.data(), static_cast<int32_t>(by.size()))) > 0)
                m_hash.Add(by.data(), static_cast<size_t>(n));
            m_qwReceived.store(m_hash.m_qwBytes);
        }
    }
    void Stop() { m_bStop.store(true); }
    uint64_t Received() const { return m_qwReceived.load(); }
    uint64_t Passes() const { return m_qwPasses.load(); }
    const CStreamHash& Hash() const { return m_hash; }

private:
    CUartPort& m_port;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bPosted = false;
    std::atomic<bool> m_bStop { false };
    std::atomic<uint64_t> m_qwReceived { 0 };
    std::atomic<uint64_t> m_qwPasses { 0 };   // reader passes that received bytes
    CStreamHash m_hash;
};

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t nPut = write(fd, p, n);
        if (nPut > 0) {
            p += nPut;
            n -= static_cast<size_t>(nPut);
        } else if (nPut < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            struct pollfd pfd = { fd, POLLOUT, 0 };
            poll(&pfd, 1, 100);
        }
    }
    return true;
}

double ThreadCpuSeconds(pthread_t thread)
{
    clockid_t clk;
    struct timespec ts;
    if (pthread_getcpuclockid(thread, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return -1.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool WaitForReceived(const CDrain& drain, uint64_t qwTotal, int nTimeoutMs)
{
    const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (drain.Received() < qwTotal && std::chrono::steady_clock::now() < tmEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return drain.Received() >= qwTotal;
}

struct CPhaseResult {
    double m_dSeconds = 0;
    double m_dReaderCpu = 0;
    uint64_t m_qwBytes = 0;
    uint64_t m_qwDropped = 0;
    uint64_t m_qwPasses = 0;
    bool m_bIntact = false;
};

// One phase on a freshly opened port. dwRate 0 sends as fast as the line takes it.
CPhaseResult RunPhase(int fdMaster, uint64_t qwBytes, uint32_t dwRate)
{
    CPhaseResult result;
    CUartPort port;
    port.SetPort(BENCH_PORT);
    CDrain drain(port);
    port.SetCommEventHook(CDrain::Hook, &drain);
    if (port.Open() != 1) {
        std::fprintf(stderr, "cannot open COM%d: %s\n", BENCH_PORT, port.GetLastOpenError().m_strText.c_str());
        return result;
    }
    std::thread drainer([&] { drain.Run(); });
    const double dCpuStart = ThreadCpuSeconds(port.GetReaderThreadHandle());
    const uint64_t qwDroppedStart = port.GetRxOverflowBytes();

    CFrameSource frames;
    CStreamHash sent;
    std::vector<uint8_t> by;
    const auto tmStart = std::chrono::steady_clock::now();
    while (sent.m_qwBytes < qwBytes) {
        by.clear();
        if (dwRate == 0) {
            // As fast as the port takes it, with at most half a receive ring in flight:
            // a real line cannot outrun its reader, a pseudo-terminal can.
            while (by.size() < UNPACED_PIECE)
                frames.Next(by);
            while (sent.m_qwBytes + by.size() - drain.Received() > UNPACED_WINDOW)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        } else {
            // Paced: every millisecond, the frames that the line rate allows by now.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const double dElapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - tmStart).count();
            const double dDue = dElapsed * dwRate;
            while (static_cast<double>(sent.m_qwBytes + by.size()) < dDue)
                frames.Next(by);
        }
        sent.Add(by.data(), by.size());
        if (!WriteAll(fdMaster, by.data(), by.size())) {
            std::perror("write");
            break;
        }
    }
    result.m_bIntact = WaitForReceived(drain, sent.m_qwBytes, 10000);
    result.m_dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tmStart).count();
    result.m_dReaderCpu = ThreadCpuSeconds(port.GetReaderThreadHandle()) - dCpuStart;
    result.m_qwBytes = sent.m_qwBytes;
    result.m_qwDropped = port.GetRxOverflowBytes() - qwDroppedStart;
    result.m_qwPasses = drain.Passes();
    drain.Stop();
    drainer.join();
    port.Close();
    result.m_bIntact = result.m_bIntact && drain.Hash().m_qwHash == sent.m_qwHash
        && drain.Hash().m_qwBytes == sent.m_qwBytes;
    return result;
}

bool ParseOptions(int argc, char** argv, CBenchOptions* pOptions)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* pszValue = argv[++i];
        if (strArg == "--mb")
            pOptions->m_qwBytes = std::strtoull(pszValue, nullptr, 10) << 20;
        else if (strArg == "--seconds")
            pOptions->m_dSeconds = std::strtod(pszValue, nullptr);
        else if (strArg == "--rate")
            pOptions->m_dwRate = static_cast<uint32_t>(std::strtoul(pszValue, nullptr, 10));
        else
            return false;
    }
    return pOptions->m_qwBytes > 0 && pOptions->m_dSeconds > 0 && pOptions->m_dwRate > 0;
}

} // namespace

int main(int argc, char** argv)
{
    CBenchOptions options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--mb N] [--seconds S] [--rate BYTES_PER_S]\n", argv[0]);
        return 2;
    }
    char szDir[] = "/tmp/qm-uart-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    int fdMaster = -1;
    int fdSlave = -1;
    char szSlave[256] = {};
    if (openpty(&fdMaster, &fdSlave, szSlave, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    const std::string strLink = std::string(szDir) + "/com" + std::to_string(BENCH_PORT);
    if (symlink(szSlave, strLink.c_str()) != 0) {
        std::perror("symlink");
        return 2;
    }
    SetPortsDirectory(szDir);

    std::printf("serial port benchmark on %s (pseudo-terminal as COM%d)\n", szSlave, BENCH_PORT);
    const CPhaseResult fast = RunPhase(fdMaster, options.m_qwBytes, 0);
    const double dMbS = static_cast<double>(fast.m_qwBytes) / (1024.0 * 1024.0) / fast.m_dSeconds;
    const double dCpuPerMb = fast.m_dReaderCpu * 1e3 / (static_cast<double>(fast.m_qwBytes) / (1024.0 * 1024.0));
    std::printf("unpaced:   %.1f MB in %.2f s = %.1f MB/s, dropped %llu bytes, stream %s, "
                "reader CPU %.2f ms per MB\n",
        static_cast<double>(fast.m_qwBytes) / (1024.0 * 1024.0), fast.m_dSeconds, dMbS,
        static_cast<unsigned long long>(fast.m_qwDropped), fast.m_bIntact ? "intact" : "DAMAGED", dCpuPerMb);

    const uint64_t qwPaced = static_cast<uint64_t>(options.m_dSeconds * options.m_dwRate);
    const CPhaseResult paced = RunPhase(fdMaster, qwPaced, options.m_dwRate);
    const double dCpuPercent = paced.m_dReaderCpu / paced.m_dSeconds * 100.0;
    const double dPacedCpuPerMb = paced.m_dReaderCpu * 1e3 / (static_cast<double>(paced.m_qwBytes) / (1024.0 * 1024.0));
    std::printf("line rate: %u bytes/s for %.2f s, dropped %llu bytes, stream %s, "
                "reader CPU %.2f ms per MB = %.2f%% of one core, %.0f receive passes/s\n",
        options.m_dwRate, paced.m_dSeconds, static_cast<unsigned long long>(paced.m_qwDropped),
        paced.m_bIntact ? "intact" : "DAMAGED", dPacedCpuPerMb, dCpuPercent,
        static_cast<double>(paced.m_qwPasses) / paced.m_dSeconds);

    close(fdSlave);
    close(fdMaster);
    unlink(strLink.c_str());
    rmdir(szDir);

    const bool bFastOk = dMbS >= MIN_THROUGHPUT_MB_S && fast.m_qwDropped == 0 && fast.m_bIntact;
    const bool bPacedOk = dCpuPercent < MAX_LINE_RATE_CPU_PERCENT && paced.m_qwDropped == 0 && paced.m_bIntact;
    std::printf("targets: throughput >= %.0f MB/s with nothing dropped: %s; "
                "reader < %.0f%% of a core at the line rate: %s\n",
        MIN_THROUGHPUT_MB_S, bFastOk ? "met" : "MISSED", MAX_LINE_RATE_CPU_PERCENT, bPacedOk ? "met" : "MISSED");
    return bFastOk && bPacedOk ? 0 : 1;
}
