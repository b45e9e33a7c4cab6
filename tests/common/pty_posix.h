// Real pseudo-terminals for the tests that play the dongle's side of the
// serial line, and their publication as comN in a private ports directory.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// Publishes strTarget as <strDir>/com<nPort>, replacing an older link.
inline bool PublishComLink(const std::string& strDir, int32_t nPort, const std::string& strTarget)
{
    const std::string strLink = strDir + "/com" + std::to_string(nPort);
    unlink(strLink.c_str());
    return symlink(strTarget.c_str(), strLink.c_str()) == 0;
}

// One pseudo-terminal pair, both ends closed with the object. Neither end is
// inherited by the programs the tests start.
class CTestPty {
public:
    CTestPty()
    {
        char szName[256] = {};
        if (openpty(&m_fdMaster, &m_fdSlave, szName, nullptr, nullptr) != 0) {
            m_fdMaster = m_fdSlave = -1;
            return;
        }
        m_strSlave = szName;
        fcntl(m_fdMaster, F_SETFD, FD_CLOEXEC);
        fcntl(m_fdSlave, F_SETFD, FD_CLOEXEC);
    }
    ~CTestPty()
    {
        CloseMaster();
        CloseSlave();
    }
    CTestPty(const CTestPty&) = delete;
    CTestPty& operator=(const CTestPty&) = delete;

    bool IsValid() const { return m_fdMaster >= 0 && !m_strSlave.empty(); }
    const std::string& SlavePath() const { return m_strSlave; }
    int MasterFd() const { return m_fdMaster; }
    int SlaveFd() const { return m_fdSlave; }

    void SetMasterNonBlocking() { fcntl(m_fdMaster, F_SETFL, fcntl(m_fdMaster, F_GETFL) | O_NONBLOCK); }
    // Raw from the start: nothing written before the port opens is echoed.
    void MakeSlaveRaw()
    {
        termios tio;
        if (tcgetattr(m_fdSlave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fdSlave, TCSANOW, &tio);
        }
    }
    // The dongle unplugged: its side of the line disappears.
    void CloseMaster()
    {
        if (m_fdMaster >= 0)
            close(m_fdMaster);
        m_fdMaster = -1;
    }
    // A port that opens the slave exclusively needs the test's copy closed.
    void CloseSlave()
    {
        if (m_fdSlave >= 0)
            close(m_fdSlave);
        m_fdSlave = -1;
    }

private:
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
};

// A pseudo-terminal whose slave is published as <ports dir>/com<n> until
// Close() or the end of the object.
class CComPty : public CTestPty {
public:
    ~CComPty() { Close(); }

    // Makes the ports directory when it is missing.
    bool Publish(const std::string& strPortsDir, int32_t nPort)
    {
        if (!IsValid())
            return false;
        mkdir(strPortsDir.c_str(), 0700);
        if (!PublishComLink(strPortsDir, nPort, SlavePath()))
            return false;
        m_strLink = strPortsDir + "/com" + std::to_string(nPort);
        return true;
    }
    // Unplugged: the link goes, then both ends.
    void Close()
    {
        if (!m_strLink.empty())
            unlink(m_strLink.c_str());
        m_strLink.clear();
        CloseSlave();
        CloseMaster();
    }

private:
    std::string m_strLink;
};
