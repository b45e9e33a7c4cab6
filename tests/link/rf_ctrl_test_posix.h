// POSIX parts of the controller's tests: a private temporary directory with
// the settings and the ports directory in it, a pseudo-terminal published as a
// port that the test itself plays the dongle on, and a child process with its
// output captured (the simulated dongle).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/port_names.h"
#include "shell/settings.h"

extern char** environ;

// mkdtemp directory holding Quillmark.ini and ports/; XDG dirs point into it.
class CTestDir {
public:
    CTestDir()
    {
        char szTemplate[] = "/tmp/qm-ctrl-test-XXXXXX";
        const char* psz = mkdtemp(szTemplate);
        m_strPath = psz != nullptr ? psz : "";
        m_strPorts = m_strPath + "/ports";
        if (!m_strPath.empty())
            mkdir(m_strPorts.c_str(), 0700);
        setenv("XDG_CONFIG_HOME", m_strPath.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", m_strPath.c_str(), 1);
        InitSettingsPathFor(m_strPath.c_str());
        SetPortsDirectory(m_strPorts.c_str());
    }
    ~CTestDir()
    {
        if (!m_strPath.empty()) {
            std::string strCmd = "rm -rf '" + m_strPath + "'";
            if (system(strCmd.c_str()) != 0) {
                // Leftovers in /tmp are harmless.
            }
        }
    }
    bool Ok() const { return !m_strPath.empty(); }
    std::string m_strPath;
    std::string m_strPorts;
};

inline int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A pty pair whose slave is published as comN; the test reads what the host
// sends on the master and answers as the dongle would (or would not).
class CPtyDongle {
public:
    CPtyDongle(const std::string& strPortsDir, int32_t nPort)
    {
        int nSlave = -1;
        char szName[128] = {0};
        if (openpty(&m_nMaster, &nSlave, szName, nullptr, nullptr) != 0)
            return;
        // Raw from the start: no echo of what we write before the host opens it.
        termios tio;
        if (tcgetattr(nSlave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(nSlave, TCSANOW, &tio);
        }
        // The host opens the slave exclusively, so we must not keep it open.
        close(nSlave);
        fcntl(m_nMaster, F_SETFL, fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
        m_strLink = strPortsDir + "/com" + std::to_string(nPort);
        m_bOk = symlink(szName, m_strLink.c_str()) == 0;
    }
    ~CPtyDongle()
    {
        if (m_nMaster >= 0)
            close(m_nMaster);
        if (!m_strLink.empty())
            unlink(m_strLink.c_str());
    }
    bool Ok() const { return m_bOk; }

    // Reads exactly n bytes within nTimeoutMs; returns what came.
    std::vector<uint8_t> ReadN(size_t n, int nTimeoutMs)
    {
        std::vector<uint8_t> vec;
        const int64_t nEnd = NowMs() + nTimeoutMs;
        while (vec.size() < n) {
            const int64_t nLeft = nEnd - NowMs();
            if (nLeft <= 0)
                break;
            pollfd pfd{m_nMaster, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(nLeft)) <= 0)
                continue;
            uint8_t by[512];
            const size_t nWant = n - vec.size() < sizeof(by) ? n - vec.size() : sizeof(by);
            const ssize_t nGot = read(m_nMaster, by, nWant);
            if (nGot > 0)
                vec.insert(vec.end(), by, by + nGot);
            else if (pfd.revents & POLLHUP)
                usleep(1000);   // no slave open at the moment
        }
        return vec;
    }
    // Everything that arrives within nMs.
    std::vector<uint8_t> ReadFor(int nMs) { return ReadN(SIZE_MAX, nMs); }
    // What is there now, without waiting.
    std::vector<uint8_t> ReadAvailable()
    {
        std::vector<uint8_t> vec;
        uint8_t by[512];
        ssize_t n;
        while ((n = read(m_nMaster, by, sizeof(by))) > 0)
            vec.insert(vec.end(), by, by + n);
        return vec;
    }

    bool Send(const std::vector<uint8_t>& vec)
    {
        size_t nDone = 0;
        const int64_t nEnd = NowMs() + 5000;
        while (nDone < vec.size() && NowMs() < nEnd) {
            const ssize_t n = write(m_nMaster, vec.data() + nDone, vec.size() - nDone);
            if (n > 0)
                nDone += static_cast<size_t>(n);
            else
                usleep(1000);
        }
        return nDone == vec.size();
    }

private:
    int m_nMaster = -1;
    bool m_bOk = false;
    std::string m_strLink;
};

// A child process with stdout and stderr captured in non-blocking pipes.
class CChild {
public:
    bool Spawn(const std::vector<std::string>& vecArgs)
    {
        int nOut[2], nErr[2];
        if (pipe2(nOut, O_CLOEXEC) != 0 || pipe2(nErr, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, nOut[1], 1);
        posix_spawn_file_actions_adddup2(&fa, nErr[1], 2);
        std::vector<char*> vecArgv;
        for (const std::string& s : vecArgs)
            vecArgv.push_back(const_cast<char*>(s.c_str()));
        vecArgv.push_back(nullptr);
        const int nRc = posix_spawn(&m_pid, vecArgv[0], &fa, nullptr, vecArgv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(nOut[1]);
        close(nErr[1]);
        m_nOut = nOut[0];
        m_nErr = nErr[0];
        fcntl(m_nOut, F_SETFL, O_NONBLOCK);
        fcntl(m_nErr, F_SETFL, O_NONBLOCK);
        if (nRc != 0)
            m_pid = -1;
        return nRc == 0;
    }
    ~CChild()
    {
        Stop(SIGKILL, 2000);
        if (m_nOut >= 0)
            close(m_nOut);
        if (m_nErr >= 0)
            close(m_nErr);
    }
    // Collects output; true once strNeedle shows in stdout (or stderr when bErr).
    bool WaitForOutput(const std::string& strNeedle, int nTimeoutMs, bool bErr = false)
    {
        const int64_t nEnd = NowMs() + nTimeoutMs;
        for (;;) {
            Drain();
            if ((bErr ? m_strErr : m_strOut).find(strNeedle) != std::string::npos)
                return true;
            if (NowMs() >= nEnd)
                return false;
            pollfd pfd[2] = {{m_nOut, POLLIN, 0}, {m_nErr, POLLIN, 0}};
            poll(pfd, 2, 5);
        }
    }
    // Sends nSignal and waits for the exit; true when it exited.
    bool Stop(int nSignal, int nTimeoutMs)
    {
        if (m_pid <= 0)
            return true;
        kill(m_pid, nSignal);
        const int64_t nEnd = NowMs() + nTimeoutMs;
        for (;;) {
            Drain();
            int nStatus = 0;
            if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                Drain();
                return true;
            }
            if (NowMs() >= nEnd)
                return false;
            usleep(2000);
        }
    }
    void Drain()
    {
        char by[4096];
        ssize_t n;
        while (m_nOut >= 0 && (n = read(m_nOut, by, sizeof(by))) > 0)
            m_strOut.append(by, static_cast<size_t>(n));
        while (m_nErr >= 0 && (n = read(m_nErr, by, sizeof(by))) > 0)
            m_strErr.append(by, static_cast<size_t>(n));
    }
    std::string m_strOut;
    std::string m_strErr;

private:
    pid_t m_pid = -1;
    int m_nOut = -1;
    int m_nErr = -1;
};
