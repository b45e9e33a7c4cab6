#include "bench/capture_bench_feeder_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "link/frame_protocol.h"

namespace {

constexpr int64_t NS_PER_S = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t CHUNK_TICK_NS = NS_PER_MS;        // USB hands the host a piece every 1 ms
constexpr size_t FLOOD_WRITE_BYTES = 64 * 1024;
constexpr int32_t COMMAND_POLL_MS = 100;
constexpr int32_t NO_HOST_SLEEP_US = 5000;          // nobody has the port open
constexpr int64_t WRITE_GIVE_UP_NS = 5 * NS_PER_S;  // the host stopped reading altogether
constexpr uint8_t CMD_SNIFF = 0x01;          // parameter 1 start, 0 stop; 0x00 sets the channel

void SleepUntil(int64_t nNs)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(nNs / NS_PER_S);
    ts.tv_nsec = static_cast<long>(nNs % NS_PER_S);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

class CFeeder {
public:
    CFeeder(int fdControl, int fdMaster) : m_fdControl(fdControl), m_fdMaster(fdMaster) {}

    int Run()
    {
        std::thread commands([this] { RunCommands(); });
        CFeedOrder order;
        while (recv(m_fdControl, &order, sizeof(order), 0) == static_cast<ssize_t>(sizeof(order))) {
            if (order.m_nMode == FEED_EXIT)
                break;
            const CFeedReport report = Stream(order);
            if (send(m_fdControl, &report, sizeof(report), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(report)))
                break;
        }
        m_bQuit.store(true);
        commands.join();
        return 0;
    }

private:
    // Commands arrive whole or in pieces; each well-formed one is answered
    // with its own seven bytes, between two data writes.
    void RunCommands()
    {
        std::vector<uint8_t> vecIn;
        uint8_t by[256];
        while (!m_bQuit.load()) {
            struct pollfd pfd = {m_fdMaster, POLLIN, 0};
            if (poll(&pfd, 1, COMMAND_POLL_MS) <= 0)
                continue;
            const ssize_t nGot = (pfd.revents & POLLIN) ? read(m_fdMaster, by, sizeof(by)) : -1;
            if (nGot <= 0) {
                usleep(NO_HOST_SLEEP_US);
                continue;
            }
            const int64_t nNow = BenchNowNs();
            vecIn.insert(vecIn.end(), by, by + nGot);
            TakeCommands(vecIn, nNow);
        }
    }

    void TakeCommands(std::vector<uint8_t>& vecIn, int64_t nArrivalNs)
    {
        size_t i = 0;
        while (vecIn.size() - i >= static_cast<size_t>(RF_CMD_LEN)) {
            const uint8_t* p = vecIn.data() + i;
            const bool bCommand = p[0] == RF_SYNC0 && p[1] == RF_SYNC1 && p[2] == 0x04 && p[6] == 0x04
                && static_cast<uint8_t>(p[2] + p[3] + p[4] + p[5]) == 0;
            if (!bCommand) {
                m_dwBadBytes.fetch_add(1);
                ++i;
                continue;
            }
            if (p[3] == CMD_SNIFF && p[4] == 0) {
                m_bSniffing.store(false);   // the stream stops before the answer goes out
                m_nStopNs.store(nArrivalNs);
                m_dwStops.fetch_add(1);
            } else if (p[3] == CMD_SNIFF) {
                m_bSniffing.store(true);
            }
            m_dwCommands.fetch_add(1);
            WriteLine(p, RF_CMD_LEN);
            i += RF_CMD_LEN;
        }
        vecIn.erase(vecIn.begin(), vecIn.begin() + static_cast<std::ptrdiff_t>(i));
    }

    // One write to the line as a whole (frames are never split by an
    // acknowledgement). False when the host stopped taking bytes.
    bool WriteLine(const uint8_t* p, size_t n)
    {
        std::lock_guard<std::mutex> lock(m_mtxWrite);
        const int64_t nGiveUp = BenchNowNs() + WRITE_GIVE_UP_NS;
        while (n > 0) {
            const ssize_t nPut = write(m_fdMaster, p, n);
            if (nPut > 0) {
                p += nPut;
                n -= static_cast<size_t>(nPut);
                continue;
            }
            if (nPut < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (BenchNowNs() > nGiveUp)
                return false;
            struct pollfd pfd = {m_fdMaster, POLLOUT, 0};
            poll(&pfd, 1, COMMAND_POLL_MS);
        }
        return true;
    }

    bool Sent(CFeedReport& report, std::vector<uint8_t>& vecBuf, int64_t nNow, uint32_t dwFrames)
    {
        if (report.m_dwFrames == 0)
            report.m_nFirstWriteNs = nNow;
        if (!WriteLine(vecBuf.data(), vecBuf.size())) {
            ++report.m_dwWriteErrors;
            return false;
        }
        report.m_nLastWriteNs = BenchNowNs();
        report.m_dwFrames += dwFrames;
        report.m_qwBytes += vecBuf.size();
        m_dwNextSeq += dwFrames;
        return true;
    }

    bool MayGoOn(const CFeedOrder& order, const CFeedReport& report, int64_t nStartNs) const
    {
        if (!m_bSniffing.load())
            return false;
        if (order.m_dwFrames != 0 && report.m_dwFrames >= order.m_dwFrames)
            return false;
        return order.m_dwMs == 0 || BenchNowNs() - nStartNs < static_cast<int64_t>(order.m_dwMs) * NS_PER_MS;
    }

    // Frames due by nNow at dwRate bytes/s, in one buffer stamped nNow.
    uint32_t FillDue(std::vector<uint8_t>& vecBuf, const CFeedOrder& order, const CFeedReport& report,
                     int64_t nElapsedNs, int64_t nNow)
    {
        const uint64_t qwDue = static_cast<uint64_t>(nElapsedNs) * order.m_dwRate / NS_PER_S;
        uint64_t qwBytes = report.m_qwBytes;
        uint32_t dwFrames = 0;
        uint32_t dwSeq = m_dwNextSeq;
        while (qwBytes + static_cast<uint64_t>(BenchFrameLength(dwSeq)) <= qwDue
               && (order.m_dwFrames == 0 || report.m_dwFrames + dwFrames < order.m_dwFrames)) {
            qwBytes += static_cast<uint64_t>(BenchFrameLength(dwSeq));
            BenchAppendFrame(vecBuf, dwSeq++, nNow);
            ++dwFrames;
        }
        return dwFrames;
    }

    CFeedReport Stream(const CFeedOrder& order)
    {
        CFeedReport report = {};
        report.m_dwFirstSeq = m_dwNextSeq;
        std::vector<uint8_t> vecBuf;
        const int64_t nStart = BenchNowNs();
        for (int64_t k = 0; order.m_nMode != FEED_QUERY && MayGoOn(order, report, nStart); ++k) {
            vecBuf.clear();
            uint32_t dwFrames = 1;
            if (order.m_nMode == FEED_LINE_FRAMES) {
                SleepUntil(nStart + static_cast<int64_t>(report.m_qwBytes * NS_PER_S / order.m_dwRate));
                BenchSetSendTime(vecBuf, BenchAppendFrame(vecBuf, m_dwNextSeq, 0), BenchNowNs());
            } else if (order.m_nMode == FEED_PACED_FRAMES) {
                SleepUntil(nStart + k * NS_PER_S / order.m_dwRate);
                BenchSetSendTime(vecBuf, BenchAppendFrame(vecBuf, m_dwNextSeq, 0), BenchNowNs());
            } else if (order.m_nMode == FEED_LINE_CHUNKS) {
                SleepUntil(nStart + (k + 1) * CHUNK_TICK_NS);
                const int64_t nNow = BenchNowNs();
                dwFrames = FillDue(vecBuf, order, report, nNow - nStart, nNow);
            } else {
                const int64_t nNow = BenchNowNs();
                for (dwFrames = 0; vecBuf.size() < FLOOD_WRITE_BYTES
                     && (order.m_dwFrames == 0 || report.m_dwFrames + dwFrames < order.m_dwFrames); ++dwFrames)
                    BenchAppendFrame(vecBuf, m_dwNextSeq + dwFrames, nNow);
            }
            if (dwFrames > 0 && !Sent(report, vecBuf, BenchNowNs(), dwFrames))
                break;
        }
        report.m_nStopCommandNs = m_nStopNs.load();
        report.m_dwCommands = m_dwCommands.load();
        report.m_dwStops = m_dwStops.load();
        report.m_dwBadBytes = m_dwBadBytes.load();
        return report;
    }

    int m_fdControl;
    int m_fdMaster;
    std::mutex m_mtxWrite;
    std::atomic<bool> m_bQuit {false};
    std::atomic<bool> m_bSniffing {false};
    std::atomic<int64_t> m_nStopNs {0};
    std::atomic<uint32_t> m_dwCommands {0};
    std::atomic<uint32_t> m_dwStops {0};
    std::atomic<uint32_t> m_dwBadBytes {0};
    uint32_t m_dwNextSeq = 0;   // order thread only
};

} // namespace

CFeederLink::~CFeederLink()
{
    Exit();
}

bool CFeederLink::Start(const std::string& strPortsDir, int32_t nPort, std::string* pstrError)
{
    int fdMaster = -1;
    int fdSlave = -1;
    char szName[256] = {};
    if (openpty(&fdMaster, &fdSlave, szName, nullptr, nullptr) != 0) {
        *pstrError = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    // Raw from the start, so nothing the feeder writes before the port opens is echoed.
    struct termios tio;
    if (tcgetattr(fdSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fdSlave, TCSANOW, &tio);
    }
    fcntl(fdMaster, F_SETFD, FD_CLOEXEC);
    fcntl(fdMaster, F_SETFL, fcntl(fdMaster, F_GETFL) | O_NONBLOCK);
    m_strDevice = szName;
    m_strLink = strPortsDir + "/com" + std::to_string(nPort);
    unlink(m_strLink.c_str());
    int sv[2];
    if (symlink(szName, m_strLink.c_str()) != 0
        || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        *pstrError = std::string("publishing the port: ") + std::strerror(errno);
        close(fdMaster);
        close(fdSlave);
        return false;
    }
    std::fflush(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        close(sv[0]);
        close(fdSlave);   // the port opens the slave exclusively
        signal(SIGPIPE, SIG_IGN);
        _exit(CFeeder(sv[1], fdMaster).Run());
    }
    close(sv[1]);
    close(fdMaster);
    close(fdSlave);
    m_fdControl = sv[0];
    if (m_pid < 0) {
        *pstrError = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool CFeederLink::Send(const CFeedOrder& order)
{
    return m_fdControl >= 0
        && send(m_fdControl, &order, sizeof(order), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(order));
}

int32_t CFeederLink::Receive(CFeedReport* pReport, int32_t nTimeoutMs)
{
    struct pollfd pfd = {m_fdControl, POLLIN, 0};
    const int nReady = poll(&pfd, 1, nTimeoutMs);
    if (nReady == 0)
        return 0;
    if (nReady < 0)
        return errno == EINTR ? 0 : -1;
    return recv(m_fdControl, pReport, sizeof(*pReport), 0) == static_cast<ssize_t>(sizeof(*pReport)) ? 1 : -1;
}

void CFeederLink::Exit()
{
    if (m_pid > 0) {
        const CFeedOrder order = {FEED_EXIT, 0, 0, 0};
        Send(order);
        int nStatus = 0;
        const int64_t nEnd = BenchNowNs() + NS_PER_S;
        while (waitpid(m_pid, &nStatus, WNOHANG) == 0) {
            if (BenchNowNs() > nEnd) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &nStatus, 0);
                break;
            }
            usleep(10000);
        }
        m_pid = -1;
    }
    if (m_fdControl >= 0)
        close(m_fdControl);
    m_fdControl = -1;
    if (!m_strLink.empty())
        unlink(m_strLink.c_str());
    m_strLink.clear();
}
