// Real parts for the serial tests: a pseudo-terminal pair whose slave plays the
// dongle's serial device, published as comN in a private ports directory.
#pragma once

#include <pthread.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/pty_posix.h"
#include "common/temp_dir_posix.h"
#include "serial/port_names.h"

// One pseudo-terminal pair. The test keeps a slave descriptor of its own so that
// the master stays usable while the port under test closes and reopens the slave.
class CPtyPair : public CTestPty {
public:
    CPtyPair()
    {
        if (IsValid())
            SetMasterNonBlocking();
    }

    // Writes everything, waiting for room; false on failure or after nTimeoutMs.
    bool WriteAll(const uint8_t* p, size_t n, int nTimeoutMs = 5000)
    {
        const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (n > 0) {
            const ssize_t nPut = write(MasterFd(), p, n);
            if (nPut > 0) {
                p += nPut;
                n -= static_cast<size_t>(nPut);
                continue;
            }
            if (nPut < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() > tmEnd)
                return false;
            struct pollfd pfd = { MasterFd(), POLLOUT, 0 };
            poll(&pfd, 1, 10);
        }
        return true;
    }
    bool WriteAll(const std::vector<uint8_t>& by, int nTimeoutMs = 5000)
    {
        return WriteAll(by.data(), by.size(), nTimeoutMs);
    }

    // Reads until nCount bytes arrived or nTimeoutMs passed; returns what arrived.
    std::vector<uint8_t> ReadBytes(size_t nCount, int nTimeoutMs = 5000)
    {
        std::vector<uint8_t> by;
        const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        uint8_t abyBuf[4096];
        while (by.size() < nCount) {
            const size_t nWant = std::min(sizeof(abyBuf), nCount - by.size());
            const ssize_t nGot = read(MasterFd(), abyBuf, nWant);
            if (nGot > 0) {
                by.insert(by.end(), abyBuf, abyBuf + nGot);
                continue;
            }
            const auto tmNow = std::chrono::steady_clock::now();
            if (tmNow >= tmEnd)
                break;
            struct pollfd pfd = { MasterFd(), POLLIN, 0 };
            poll(&pfd, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(tmEnd - tmNow).count()) + 1);
        }
        return by;
    }
};

// Polls a condition until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& fnCondition, int nTimeoutMs = 5000)
{
    const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!fnCondition()) {
        if (std::chrono::steady_clock::now() >= tmEnd)
            return fnCondition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A byte pattern that shows reordering, loss and duplication.
inline std::vector<uint8_t> PatternBytes(size_t nCount, uint32_t dwSeed = 1)
{
    std::vector<uint8_t> by(nCount);
    uint32_t x = dwSeed * 2654435761u + 1;
    for (size_t i = 0; i < nCount; ++i) {
        x = x * 1103515245u + 12345u;
        by[i] = static_cast<uint8_t>((x >> 16) ^ i);
    }
    return by;
}

// CPU time a thread has used, in microseconds (-1 when it cannot be read).
inline int64_t ThreadCpuMicros(pthread_t thread)
{
    clockid_t clk;
    struct timespec ts;
    if (pthread_getcpuclockid(thread, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
