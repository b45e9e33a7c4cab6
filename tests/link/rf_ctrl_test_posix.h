// POSIX parts of the controller's tests: a private temporary directory with
// the settings and the ports directory in it, and a pseudo-terminal published
// as a port that the test itself plays the dongle on.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/pty_posix.h"
#include "common/temp_dir_posix.h"
#include "common/test_clock.h"
#include "serial/port_names.h"

// mkdtemp directory holding ports/; XDG dirs point into it.
class CTestDir {
public:
    CTestDir() : m_tmp("qm-ctrl-test"), m_strPath(m_tmp.Path()), m_strPorts(m_strPath + "/ports")
    {
        if (!m_strPath.empty())
            mkdir(m_strPorts.c_str(), 0700);
        setenv("XDG_CONFIG_HOME", m_strPath.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", m_strPath.c_str(), 1);
        SetPortsDirectory(m_strPorts.c_str());
    }
    bool Ok() const { return !m_strPath.empty(); }

private:
    CTestTempDir m_tmp;

public:
    std::string m_strPath;
    std::string m_strPorts;
};

// A pty pair whose slave is published as comN; the test reads what the host
// sends on the master and answers as the dongle would (or would not).
class CPtyDongle {
public:
    CPtyDongle(const std::string& strPortsDir, int32_t nPort)
    {
        if (!m_pty.IsValid())
            return;
        m_pty.MakeSlaveRaw();
        // The host opens the slave exclusively, so we must not keep it open.
        m_pty.CloseSlave();
        m_pty.SetMasterNonBlocking();
        m_bOk = m_pty.Publish(strPortsDir, nPort);
    }
    bool Ok() const { return m_bOk; }
    // The dongle is pulled out: the host's end sees a hang-up.
    void Unplug() { m_pty.CloseMaster(); }

    // Reads exactly n bytes within nTimeoutMs; returns what came.
    std::vector<uint8_t> ReadN(size_t n, int nTimeoutMs)
    {
        std::vector<uint8_t> vec;
        const int64_t nEnd = TestNowMs() + nTimeoutMs;
        while (vec.size() < n) {
            const int64_t nLeft = nEnd - TestNowMs();
            if (nLeft <= 0)
                break;
            pollfd pfd{m_pty.MasterFd(), POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(nLeft)) <= 0)
                continue;
            uint8_t by[512];
            const size_t nWant = n - vec.size() < sizeof(by) ? n - vec.size() : sizeof(by);
            const ssize_t nGot = read(m_pty.MasterFd(), by, nWant);
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
        while ((n = read(m_pty.MasterFd(), by, sizeof(by))) > 0)
            vec.insert(vec.end(), by, by + n);
        return vec;
    }

    bool Send(const std::vector<uint8_t>& vec)
    {
        size_t nDone = 0;
        const int64_t nEnd = TestNowMs() + 5000;
        while (nDone < vec.size() && TestNowMs() < nEnd) {
            const ssize_t n = write(m_pty.MasterFd(), vec.data() + nDone, vec.size() - nDone);
            if (n > 0)
                nDone += static_cast<size_t>(n);
            else
                usleep(1000);
        }
        return nDone == vec.size();
    }

private:
    CComPty m_pty;
    bool m_bOk = false;
};
