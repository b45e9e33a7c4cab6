// Test helpers for the simulated dongle: a private temp directory, the
// simulator as a child process, and the host's end of the line (a real open
// of the published pty, in raw mode as the serial port sets it).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dongle_sim_split.h"

extern char** environ;

inline uint64_t TestNowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class CTestTempDir {
public:
    CTestTempDir()
    {
        const char* pszBase = std::getenv("TMPDIR");
        std::string strTemplate = std::string(pszBase != nullptr && *pszBase != '\0' ? pszBase : "/tmp") +
            "/qm-sim-test-XXXXXX";
        std::vector<char> vecName(strTemplate.begin(), strTemplate.end());
        vecName.push_back('\0');
        if (mkdtemp(vecName.data()) != nullptr)
            m_strPath = vecName.data();
    }
    ~CTestTempDir()
    {
        if (!m_strPath.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_strPath, ec);
        }
    }
    const std::string& Path() const { return m_strPath; }
    std::string operator/(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

class CSimProcess {
public:
    CSimProcess() : m_pid(-1), m_hOut(-1), m_hErr(-1), m_nStatus(-1) {}
    ~CSimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseFd(m_hOut);
        CloseFd(m_hErr);
    }

    bool Start(const std::vector<std::string>& vecArgs)
    {
        int hOut[2];
        int hErr[2];
        if (pipe2(hOut, O_CLOEXEC) != 0 || pipe2(hErr, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, hOut[1], 1);
        posix_spawn_file_actions_adddup2(&fa, hErr[1], 2);
        std::vector<std::string> vecAll{QM_DONGLE_SIM_PATH};
        vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
        std::vector<char*> vecArgv;
        for (std::string& str : vecAll)
            vecArgv.push_back(str.data());
        vecArgv.push_back(nullptr);
        const int nRc = posix_spawn(&m_pid, QM_DONGLE_SIM_PATH, &fa, nullptr, vecArgv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(hOut[1]);
        close(hErr[1]);
        m_hOut = hOut[0];
        m_hErr = hErr[0];
        fcntl(m_hOut, F_SETFL, O_NONBLOCK);
        fcntl(m_hErr, F_SETFL, O_NONBLOCK);
        if (nRc != 0)
            m_pid = -1;
        return nRc == 0;
    }

    // Starts and waits for "ready <device>"; returns the device path or "".
    std::string StartReady(const std::vector<std::string>& vecArgs, int nTimeoutMs = 5000)
    {
        if (!Start(vecArgs))
            return "";
        const uint64_t qwEnd = TestNowMs() + static_cast<uint64_t>(nTimeoutMs);
        while (TestNowMs() < qwEnd) {
            const size_t nPos = m_strOut.find("ready ");
            if (nPos != std::string::npos) {
                const size_t nEol = m_strOut.find('\n', nPos);
                if (nEol != std::string::npos)
                    return m_strOut.substr(nPos + 6, nEol - nPos - 6);
            }
            if (!Pump(20) && m_pid < 0)
                break;
        }
        return "";
    }

    // Collects output for up to nTimeoutMs; false when both pipes are closed.
    bool Pump(int nTimeoutMs)
    {
        struct pollfd fds[2] = {{m_hOut, POLLIN, 0}, {m_hErr, POLLIN, 0}};
        if (m_hOut < 0 && m_hErr < 0)
            return false;
        if (poll(fds, 2, nTimeoutMs) <= 0)
            return true;
        DrainFd(m_hOut, m_strOut);
        DrainFd(m_hErr, m_strErr);
        return m_hOut >= 0 || m_hErr >= 0;
    }

    bool WaitForText(const std::string& strNeedle, int nTimeoutMs, bool bStderr = true)
    {
        const uint64_t qwEnd = TestNowMs() + static_cast<uint64_t>(nTimeoutMs);
        for (;;) {
            const std::string& strText = bStderr ? m_strErr : m_strOut;
            if (strText.find(strNeedle) != std::string::npos)
                return true;
            if (TestNowMs() >= qwEnd)
                return false;
            Pump(10);
        }
    }

    // Waits for the process to end by itself; true when it did (status kept).
    bool WaitExit(int nTimeoutMs)
    {
        const uint64_t qwEnd = TestNowMs() + static_cast<uint64_t>(nTimeoutMs);
        while (m_pid > 0) {
            int nStatus = 0;
            const pid_t pid = waitpid(m_pid, &nStatus, WNOHANG);
            if (pid == m_pid) {
                m_nStatus = nStatus;
                m_pid = -1;
                break;
            }
            if (TestNowMs() >= qwEnd)
                return false;
            Pump(10);
        }
        while (Pump(50)) {
        }
        // The simulator is built with the sanitizers of the test build.
        EXPECT_EQ(std::string::npos, m_strErr.find("Sanitizer")) << m_strErr;
        EXPECT_EQ(std::string::npos, m_strErr.find("runtime error:")) << m_strErr;
        return true;
    }

    bool Signal(int nSig, int nTimeoutMs = 5000)
    {
        if (m_pid <= 0)
            return false;
        kill(m_pid, nSig);
        return WaitExit(nTimeoutMs);
    }

    int ExitCode() const { return WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1; }
    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

    // Key=value pairs of the "summary" line on stdout.
    std::map<std::string, uint64_t> Summary() const
    {
        std::map<std::string, uint64_t> mapOut;
        const size_t nPos = m_strOut.find("summary ");
        if (nPos == std::string::npos)
            return mapOut;
        std::istringstream in(m_strOut.substr(nPos + 8, m_strOut.find('\n', nPos) - nPos - 8));
        std::string strPair;
        while (in >> strPair) {
            const size_t nEq = strPair.find('=');
            if (nEq != std::string::npos)
                mapOut[strPair.substr(0, nEq)] = std::strtoull(strPair.c_str() + nEq + 1, nullptr, 10);
        }
        return mapOut;
    }

    // User + system CPU time of the running simulator, in milliseconds.
    double CpuMs() const
    {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
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

private:
    static void CloseFd(int& h)
    {
        if (h >= 0)
            close(h);
        h = -1;
    }
    static void DrainFd(int& h, std::string& strTo)
    {
        if (h < 0)
            return;
        char by[4096];
        for (;;) {
            const ssize_t n = read(h, by, sizeof by);
            if (n > 0) {
                strTo.append(by, static_cast<size_t>(n));
                continue;
            }
            if (n == 0)
                CloseFd(h);
            return;
        }
    }

    pid_t m_pid;
    int m_hOut;
    int m_hErr;
    int m_nStatus;
    std::string m_strOut;
    std::string m_strErr;
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
        const uint64_t qwEnd = TestNowMs() + static_cast<uint64_t>(nTimeoutMs);
        for (;;) {
            if (fnDone(byBuf))
                return true;
            const uint64_t qwNow = TestNowMs();
            if (qwNow >= qwEnd || m_bHungUp)
                return false;
            struct pollfd pfd = {m_h, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(qwEnd - qwNow)) <= 0)
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
