// A child process with its standard output and error collected through
// non-blocking pipes (the simulated dongle, tshark, ...). Spawned with
// posix_spawn: ThreadSanitizer cannot follow the clone() that QProcess uses,
// and the tests must not fork a process that runs threads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/test_clock.h"

extern char** environ;

class CChildProcess {
public:
    CChildProcess() = default;
    virtual ~CChildProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseFd(m_hOut);
        CloseFd(m_hErr);
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Runs vecArgv[0] (looked up in PATH when it has no slash) with standard
    // input on /dev/null, so that no child ever reads the test's terminal.
    bool Spawn(const std::vector<std::string>& vecArgv)
    {
        if (vecArgv.empty() || m_pid > 0)
            return false;
        int hOut[2];
        int hErr[2];
        if (pipe2(hOut, O_CLOEXEC) != 0)
            return false;
        if (pipe2(hErr, O_CLOEXEC) != 0) {
            close(hOut[0]);
            close(hOut[1]);
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, hOut[1], 1);
        posix_spawn_file_actions_adddup2(&fa, hErr[1], 2);
        std::vector<std::string> vecCopy = vecArgv;
        std::vector<char*> vecPtrs;
        for (std::string& str : vecCopy)
            vecPtrs.push_back(str.data());
        vecPtrs.push_back(nullptr);
        const int nRc = posix_spawnp(&m_pid, vecPtrs[0], &fa, nullptr, vecPtrs.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(hOut[1]);
        close(hErr[1]);
        CloseFd(m_hOut);
        CloseFd(m_hErr);
        m_hOut = hOut[0];
        m_hErr = hErr[0];
        fcntl(m_hOut, F_SETFL, O_NONBLOCK);
        fcntl(m_hErr, F_SETFL, O_NONBLOCK);
        m_nStatus = -1;
        if (nRc != 0)
            m_pid = -1;
        return nRc == 0;
    }

    // Takes what the pipes hold now, without waiting.
    void Drain()
    {
        DrainFd(m_hOut, m_strOut);
        DrainFd(m_hErr, m_strErr);
    }

    // Waits up to nTimeoutMs for output and takes it; false once both pipes
    // have been closed by the child.
    bool Pump(int nTimeoutMs)
    {
        if (m_hOut < 0 && m_hErr < 0)
            return false;
        struct pollfd fds[2] = {{m_hOut, POLLIN, 0}, {m_hErr, POLLIN, 0}};
        if (poll(fds, 2, nTimeoutMs) <= 0)
            return true;
        Drain();
        return m_hOut >= 0 || m_hErr >= 0;
    }

    // Collects output until strNeedle shows in standard error (bStderr, where
    // the simulator logs) or standard output; false on time-out.
    bool WaitForText(const std::string& strNeedle, int nTimeoutMs, bool bStderr = true)
    {
        const int64_t nEnd = TestNowMs() + nTimeoutMs;
        for (;;) {
            Drain();
            if ((bStderr ? m_strErr : m_strOut).find(strNeedle) != std::string::npos)
                return true;
            if (TestNowMs() >= nEnd)
                return false;
            Pump(10);
        }
    }

    // True once the child has ended; it is reaped then and its status kept.
    bool HasEnded()
    {
        if (m_pid <= 0)
            return true;
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, WNOHANG) != m_pid)
            return false;
        m_nStatus = nStatus;
        m_pid = -1;
        return true;
    }

    // Waits for the child to end, collecting its output; false on time-out.
    virtual bool WaitExit(int nTimeoutMs)
    {
        const int64_t nEnd = TestNowMs() + nTimeoutMs;
        while (!HasEnded()) {
            if (TestNowMs() >= nEnd)
                return false;
            Pump(10);
        }
        // All it wrote is in the pipes by now.
        Drain();
        return true;
    }

    // Sends nSignal; false when no child runs.
    bool SendSignal(int nSignal) { return m_pid > 0 && kill(m_pid, nSignal) == 0; }

    // Sends nSignal and waits up to nTimeoutMs for the exit; false when no
    // child runs or it did not end in time.
    bool Signal(int nSignal, int nTimeoutMs = 5000) { return SendSignal(nSignal) && WaitExit(nTimeoutMs); }

    // The exit code once the child has ended normally, else -1.
    int ExitCode() const { return WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1; }
    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

private:
    static void CloseFd(int& h)
    {
        if (h >= 0)
            close(h);
        h = -1;
    }
    // Reads until the pipe is empty; closes it at its end.
    static void DrainFd(int& h, std::string& strTo)
    {
        char by[4096];
        while (h >= 0) {
            const ssize_t n = read(h, by, sizeof by);
            if (n > 0)
                strTo.append(by, static_cast<size_t>(n));
            else if (n == 0)
                CloseFd(h);
            else
                return;
        }
    }

    pid_t m_pid = -1;
    int m_hOut = -1;
    int m_hErr = -1;
    int m_nStatus = -1;
    std::string m_strOut;
    std::string m_strErr;
};
