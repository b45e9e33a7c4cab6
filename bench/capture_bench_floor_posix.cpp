#include "bench/capture_bench_floor_posix.h"

#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench/capture_bench_frames.h"

namespace {

constexpr int32_t FLOOR_POLL_MS = 100;
constexpr size_t FLOOR_PIECE = 100;   // about what the line brings in 1 ms

int64_t ThreadCpuNs(std::thread& thread)
{
    clockid_t clk;
    struct timespec ts;
    if (pthread_getcpuclockid(thread.native_handle(), &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

CWakeFloor MeasureWakeFloor(int32_t nPeriodUs, int32_t nMs)
{
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
    std::atomic<bool> bRun {true};
    std::atomic<uint64_t> qwWakes {0};
    std::thread reader([&] {
        uint8_t by[4096];
        while (bRun.load()) {
            struct pollfd pfd = {fdSlave, POLLIN, 0};
            if (poll(&pfd, 1, FLOOR_POLL_MS) > 0 && read(fdSlave, by, sizeof(by)) > 0)
                qwWakes.fetch_add(1);
        }
    });
    const uint8_t byPiece[FLOOR_PIECE] = {};
    const int64_t nPeriodNs = static_cast<int64_t>(nPeriodUs) * 1000;
    const int64_t nStart = BenchNowNs();
    const int64_t nCpu0 = ThreadCpuNs(reader);
    int64_t nDue = nStart;
    while (nDue - nStart < static_cast<int64_t>(nMs) * 1000000) {
        nDue += nPeriodNs;
        struct timespec ts = {static_cast<time_t>(nDue / 1000000000), static_cast<long>(nDue % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        if (write(fdMaster, byPiece, sizeof(byPiece)) < 0)
            break;
    }
    usleep(static_cast<useconds_t>(nPeriodUs));
    const int64_t nCpu = ThreadCpuNs(reader) - nCpu0;
    const int64_t nWall = BenchNowNs() - nStart;
    bRun.store(false);
    reader.join();
    close(fdMaster);
    close(fdSlave);
    if (nCpu0 >= 0 && qwWakes.load() > 0) {
        floor.m_dCpuPercent = 100.0 * static_cast<double>(nCpu) / static_cast<double>(nWall);
        floor.m_dUsPerWake = static_cast<double>(nCpu) / 1e3 / static_cast<double>(qwWakes.load());
    }
    return floor;
}
