// Test helpers for the simulated dongle: a private temp directory, the
// simulator as a child process, and the host's end of the line (a real open
// of the published pty, in raw mode as the serial port sets it).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process_posix.h"
#include "common/sim_summary.h"
#include "common/temp_dir_posix.h"
#include "common/test_clock.h"
#include "dongle_sim_split.h"

// The simulator as a child process: started with its options, its "ready"
// and "summary" lines read back, and no sanitizer report once it has ended.
class CSimProcess : public CChildProcess {
public:
    bool Start(const std::vector<std::string>& vecArgs)
    {
        std::vector<std::string> vecArgv{QM_DONGLE_SIM_PATH};
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        return Spawn(vecArgv);
    }

    // Starts and waits for "ready <device>"; returns the device path or "".
    std::string StartReady(const std::vector<std::string>& vecArgs, int nTimeoutMs = 5000)
    {
        if (!Start(vecArgs))
            return "";
        const int64_t nEnd = TestNowMs() + nTimeoutMs;
        while (TestNowMs() < nEnd) {
            const size_t nPos = Out().find("ready ");
            if (nPos != std::string::npos) {
                const size_t nEol = Out().find('\n', nPos);
                if (nEol != std::string::npos)
                    return Out().substr(nPos + 6, nEol - nPos - 6);
            }
            Pump(20);
        }
        return "";
    }

    // Waits for the process to end by itself; true when it did (status kept).
    bool WaitExit(int nTimeoutMs) override
    {
        if (!CChildProcess::WaitExit(nTimeoutMs))
            return false;
        // The simulator is built with the sanitizers of the test build.
        EXPECT_EQ(std::string::npos, Err().find("Sanitizer")) << Err();
        EXPECT_EQ(std::string::npos, Err().find("runtime error:")) << Err();
        return true;
    }

    // Key=value pairs of the "summary" line on stdout.
    std::map<std::string, uint64_t> Summary() const { return ParseSimSummary(Out()); }

    // User + system CPU time of the running simulator, in milliseconds.
    double CpuMs() const
    {
        std::ifstream in("/proc/" + std::to_string(Pid()) + "/stat");
        std::string strStat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t nClose = strStat.rfind(')');
        if (nClose == std::string::npos)
            return -1.0;
        std::istringstream fields(strStat.substr(nClose + 2));
        std::string strField;
        unsigned long long qwUtime = 0;
        unsigned long long qwStime = 0;
        for (int i = 3; i <= 15 && fields >> strField; ++i) {
            if (i == 14)
                qwUtime = std::strtoull(strField.c_str(), nullptr, 10);
            if (i == 15)
                qwStime = std::strtoull(strField.c_str(), nullptr, 10);
        }
        return static_cast<double>(qwUtime + qwStime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

// The host's end of the line.
class CHostLine {
public:
    CHostLine() : m_h(-1) {}
    ~CHostLine() { Close(); }

    bool Open(const std::string& strPath)
    {
        Close();
        m_h = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_h < 0)
            return false;
        struct termios tio;
        if (tcgetattr(m_h, &tio) != 0)
            return false;
        cfmakeraw(&tio);
        cfsetispeed(&tio, B1000000);
        cfsetospeed(&tio, B1000000);
        return tcsetattr(m_h, TCSANOW, &tio) == 0;
    }
    void Close()
    {
        if (m_h >= 0)
            close(m_h);
        m_h = -1;
    }
    int Fd() const { return m_h; }

    bool Write(const uint8_t* p, size_t n) { return m_h >= 0 && write(m_h, p, n) == static_cast<ssize_t>(n); }
    bool Write(const CByteVec& by) { return Write(by.data(), by.size()); }

    // Appends what arrives to byBuf until fnDone(byBuf) holds or the time is up.
    // Returns false on time-out; bHungUp tells whether the line went away.
    bool ReadUntil(CByteVec& byBuf, const std::function<bool(const CByteVec&)>& fnDone, int nTimeoutMs)
    {
        const int64_t nEnd = TestNowMs() + nTimeoutMs;
        for (;;) {
            if (fnDone(byBuf))
                return true;
            const int64_t nNow = TestNowMs();
            if (nNow >= nEnd || m_bHungUp)
                return false;
            struct pollfd pfd = {m_h, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(nEnd - nNow)) <= 0)
                continue;
            uint8_t by[65536];
            const ssize_t n = read(m_h, by, sizeof by);
            if (n > 0)
                byBuf.insert(byBuf.end(), by, by + n);
            else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                m_bHungUp = true;
        }
    }
    // Everything that arrives within nMs.
    CByteVec ReadFor(int nMs)
    {
        CByteVec by;
        ReadUntil(by, [](const CByteVec&) { return false; }, nMs);
        return by;
    }
    bool HungUp() const { return m_bHungUp; }

private:
    int m_h;
    bool m_bHungUp = false;
};

// Reads until nAcks acknowledgements have arrived (frames in between kept).
inline bool ReadAcks(CHostLine& line, CByteVec& byBuf, size_t nAcks, int nTimeoutMs)
{
    return line.ReadUntil(byBuf, [nAcks](const CByteVec& by) { return CountAcks(SplitFrames(by)) >= nAcks; },
                          nTimeoutMs);
}

// Reads until nFrames data frames have arrived.
inline bool ReadDataFrames(CHostLine& line, CByteVec& byBuf, size_t nFrames, int nTimeoutMs)
{
    return line.ReadUntil(byBuf, [nFrames](const CByteVec& by) { return DataFrames(SplitFrames(by)).size() >= nFrames; },
                          nTimeoutMs);
}
