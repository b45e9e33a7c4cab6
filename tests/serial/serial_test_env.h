// Real parts for the serial tests: a pseudo-terminal pair whose slave plays the
// dongle's serial device, published as comN in a private ports directory.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_names.h"

// A private directory, removed with everything in it.
class CTempDir {
public:
    CTempDir()
    {
        std::string strTemplate = std::filesystem::temp_directory_path().string() + "/qm-serial-XXXXXX";
        std::vector<char> buf(strTemplate.begin(), strTemplate.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            m_strPath = buf.data();
    }
    ~CTempDir()
    {
        std::error_code ec;
        if (!m_strPath.empty())
            std::filesystem::remove_all(m_strPath, ec);
    }
    const std::string& Path() const { return m_strPath; }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

private:
    std::string m_strPath;
};

// One pseudo-terminal pair. The test keeps a slave descriptor of its own so that
// the master stays usable while the port under test closes and reopens the slave.
class CPtyPair {
public:
    CPtyPair()
    {
        char szName[256] = {};
        if (openpty(&m_fdMaster, &m_fdSlave, szName, nullptr, nullptr) == 0) {
            m_strSlave = szName;
            fcntl(m_fdMaster, F_SETFL, fcntl(m_fdMaster, F_GETFL) | O_NONBLOCK);
            fcntl(m_fdMaster, F_SETFD, FD_CLOEXEC);
            fcntl(m_fdSlave, F_SETFD, FD_CLOEXEC);
        }
    }
    ~CPtyPair()
    {
        CloseMaster();
        if (m_fdSlave >= 0)
            close(m_fdSlave);
    }
    bool IsValid() const { return m_fdMaster >= 0 && !m_strSlave.empty(); }
    const std::string& SlavePath() const { return m_strSlave; }
    int MasterFd() const { return m_fdMaster; }
    int SlaveFd() const { return m_fdSlave; }

    // The dongle unplugged: its side of the line disappears.
    void CloseMaster()
    {
        if (m_fdMaster >= 0)
            close(m_fdMaster);
        m_fdMaster = -1;
    }

    // Writes everything, waiting for room; false on failure or after nTimeoutMs.
    bool WriteAll(const uint8_t* p, size_t n, int nTimeoutMs = 5000)
    {
        const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (n > 0) {
            const ssize_t nPut = write(m_fdMaster, p, n);
            if (nPut > 0) {
                p += nPut;
                n -= static_cast<size_t>(nPut);
                continue;
            }
            if (nPut < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() > tmEnd)
                return false;
            struct pollfd pfd = { m_fdMaster, POLLOUT, 0 };
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
            const ssize_t nGot = read(m_fdMaster, abyBuf, nWant);
            if (nGot > 0) {
                by.insert(by.end(), abyBuf, abyBuf + nGot);
                continue;
            }
            const auto tmNow = std::chrono::steady_clock::now();
            if (tmNow >= tmEnd)
                break;
            struct pollfd pfd = { m_fdMaster, POLLIN, 0 };
            poll(&pfd, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(tmEnd - tmNow).count()) + 1);
        }
        return by;
    }

    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

private:
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
};

// Publishes pszTarget as comN in the ports directory (replacing an older link).
inline bool PublishComLink(const std::string& strDir, int32_t nPort, const std::string& strTarget)
{
    const std::string strLink = strDir + "/com" + std::to_string(nPort);
    unlink(strLink.c_str());
    return symlink(strTarget.c_str(), strLink.c_str()) == 0;
}

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
