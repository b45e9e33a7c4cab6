#include "tools/dongle_sim/sim_port.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t s_bStop = 0;
static int s_hStopPipe[2] = {-1, -1};

static void OnStopSignal(int)
{
    s_bStop = 1;
    const int nSaved = errno;
    if (s_hStopPipe[1] >= 0) {
        const char ch = 1;
        (void)!write(s_hStopPipe[1], &ch, 1);
    }
    errno = nSaved;
}

void InstallSimStopSignals()
{
    if (s_hStopPipe[0] < 0 && pipe2(s_hStopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        s_hStopPipe[0] = s_hStopPipe[1] = -1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool SimStopRequested()
{
    return s_bStop != 0;
}

static std::string ErrnoText(const std::string& strWhat)
{
    return strWhat + ": " + std::strerror(errno);
}

static void CloseHandle(int& h)
{
    if (h >= 0)
        close(h);
    h = -1;
}

// mkdir -p, each new level with mode 0755.
static bool MakeDirectories(const std::string& strDir, std::string& strError)
{
    std::string strPath;
    size_t nPos = 0;
    while (nPos <= strDir.size()) {
        size_t nSlash = strDir.find('/', nPos);
        if (nSlash == std::string::npos)
            nSlash = strDir.size();
        strPath = strDir.substr(0, nSlash);
        nPos = nSlash + 1;
        if (strPath.empty())
            continue;
        if (mkdir(strPath.c_str(), 0755) != 0 && errno != EEXIST) {
            strError = ErrnoText("cannot create " + strPath);
            return false;
        }
    }
    struct stat st;
    if (stat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        strError = strDir + " is not a directory";
        return false;
    }
    return true;
}

CSimPort::CSimPort() : m_hMaster(-1), m_hHold(-1), m_hNotify(-1), m_hLock(-1), m_nHostOpens(0)
{
}

CSimPort::~CSimPort()
{
    HangUp();
    Unpublish();
}

bool CSimPort::Publish(const char* pszPortsDir, int32_t nPort, std::string& strError)
{
    std::string strDir = pszPortsDir;
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    if (!MakeDirectories(strDir, strError))
        return false;
    m_strLink = strDir + "/com" + std::to_string(nPort);
    // A hidden lock beside the link tells a live simulator from a stale link.
    const std::string strLock = strDir + "/.com" + std::to_string(nPort) + ".lock";
    m_hLock = open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_hLock < 0) {
        strError = ErrnoText("cannot create " + strLock);
        return false;
    }
    if (flock(m_hLock, LOCK_EX | LOCK_NB) != 0) {
        strError = "COM" + std::to_string(nPort) + " is already published in " + strDir + " by another simulator";
        CloseHandle(m_hLock);
        return false;
    }
    m_strLock = strLock;
    if (!CreateTerminal(strError) || !PublishLink(strError)) {
        HangUp();
        Unpublish();
        return false;
    }
    return true;
}

bool CSimPort::CreateTerminal(std::string& strError)
{
    m_hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_hMaster < 0) {
        strError = ErrnoText("posix_openpt");
        return false;
    }
    char szName[128];
    if (grantpt(m_hMaster) != 0 || unlockpt(m_hMaster) != 0 || ptsname_r(m_hMaster, szName, sizeof szName) != 0) {
        strError = ErrnoText("pseudo-terminal set-up");
        return false;
    }
    m_strDevice = szName;
    fcntl(m_hMaster, F_SETFL, fcntl(m_hMaster, F_GETFL) | O_NONBLOCK);

    m_hHold = open(szName, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_hHold < 0) {
        strError = ErrnoText("cannot open " + m_strDevice);
        return false;
    }
    struct termios tio;
    if (tcgetattr(m_hHold, &tio) != 0) {
        strError = ErrnoText("tcgetattr " + m_strDevice);
        return false;
    }
    // Raw 8N1: no echo of our own frames back to us, no byte translated.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B1000000);
    cfsetospeed(&tio, B1000000);
    if (tcsetattr(m_hHold, TCSANOW, &tio) != 0) {
        strError = ErrnoText("tcsetattr " + m_strDevice);
        return false;
    }

    // Without notices (no inotify) a host is taken to be always there.
    m_hNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_hNotify >= 0 && inotify_add_watch(m_hNotify, szName, IN_OPEN | IN_CLOSE) < 0)
        CloseHandle(m_hNotify);
    return true;
}

bool CSimPort::TakeAsControllingTerminal(std::string& strError)
{
    // A process group leader (a job started from an interactive shell) cannot
    // start a session; one that already leads its own session keeps it.
    if (getsid(0) != getpid() && setsid() < 0) {
        strError = ErrnoText("cannot start a session of its own (start it with setsid)");
        return false;
    }
    if (ioctl(m_hHold, TIOCSCTTY, 0) != 0) {
        strError = ErrnoText("cannot take " + m_strDevice + " as controlling terminal");
        return false;
    }
    return true;
}

bool CSimPort::PublishLink(std::string& strError)
{
    struct stat st;
    if (lstat(m_strLink.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            strError = m_strLink + " exists and is not a link; leaving it alone";
            m_strLink.clear();
            return false;
        }
        // We hold the lock, so the link is left over from a simulator that died.
        unlink(m_strLink.c_str());
    }
    if (symlink(m_strDevice.c_str(), m_strLink.c_str()) != 0) {
        strError = ErrnoText("cannot create " + m_strLink);
        m_strLink.clear();
        return false;
    }
    return true;
}

uint32_t CSimPort::Wait(uint64_t qwTimeoutUs, bool bWantWrite)
{
    if (s_bStop)
        return SIM_WAIT_STOP;
    struct pollfd fds[3];
    nfds_t nCount = 0;
    const int nMaster = static_cast<int>(nCount);
    fds[nCount++] = {m_hMaster, static_cast<short>(POLLIN | (bWantWrite ? POLLOUT : 0)), 0};
    int nNotify = -1;
    if (m_hNotify >= 0) {
        nNotify = static_cast<int>(nCount);
        fds[nCount++] = {m_hNotify, POLLIN, 0};
    }
    int nStop = -1;
    if (s_hStopPipe[0] >= 0) {
        nStop = static_cast<int>(nCount);
        fds[nCount++] = {s_hStopPipe[0], POLLIN, 0};
    }
    struct timespec ts;
    struct timespec* pts = nullptr;
    if (qwTimeoutUs != UINT64_MAX) {
        ts.tv_sec = static_cast<time_t>(qwTimeoutUs / 1000000u);
        ts.tv_nsec = static_cast<long>((qwTimeoutUs % 1000000u) * 1000u);
        pts = &ts;
    }
    const int nRc = ppoll(fds, nCount, pts, nullptr);
    uint32_t dwResult = 0;
    if (s_bStop)
        dwResult |= SIM_WAIT_STOP;
    if (nRc <= 0)
        return dwResult;
    if (fds[nMaster].revents & (POLLIN | POLLHUP | POLLERR))
        dwResult |= SIM_WAIT_READABLE;
    if (fds[nMaster].revents & POLLOUT)
        dwResult |= SIM_WAIT_WRITABLE;
    if (nNotify >= 0 && (fds[nNotify].revents & POLLIN))
        dwResult |= SIM_WAIT_HOST;
    if (nStop >= 0 && (fds[nStop].revents & POLLIN)) {
        char by[16];
        while (read(s_hStopPipe[0], by, sizeof by) > 0) {
        }
    }
    return dwResult;
}

int32_t CSimPort::Read(uint8_t* pDst, int32_t nLen)
{
    if (m_hMaster < 0)
        return -1;
    const ssize_t n = read(m_hMaster, pDst, static_cast<size_t>(nLen));
    if (n > 0)
        return static_cast<int32_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1;
}

int32_t CSimPort::Write(const uint8_t* pSrc, int32_t nLen)
{
    if (m_hMaster < 0)
        return -1;
    const ssize_t n = write(m_hMaster, pSrc, static_cast<size_t>(nLen));
    if (n >= 0)
        return static_cast<int32_t>(n);
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    return -1;
}

bool CSimPort::PollHost()
{
    if (m_hNotify < 0)
        return false;
    bool bLeft = false;
    alignas(struct inotify_event) char byBuf[4096];
    for (;;) {
        const ssize_t n = read(m_hNotify, byBuf, sizeof byBuf);
        if (n <= 0)
            break;
        for (ssize_t nOff = 0; nOff < n;) {
            const struct inotify_event* pEv = reinterpret_cast<const struct inotify_event*>(byBuf + nOff);
            if (pEv->mask & IN_OPEN)
                ++m_nHostOpens;
            if ((pEv->mask & IN_CLOSE) && m_nHostOpens > 0 && --m_nHostOpens == 0)
                bLeft = true;
            if (pEv->mask & IN_Q_OVERFLOW)
                m_nHostOpens = 1;   // notices lost: assume someone is there rather than drop their data
            nOff += static_cast<ssize_t>(sizeof(struct inotify_event) + pEv->len);
        }
    }
    if (bLeft && m_hHold >= 0) {
        tcflush(m_hHold, TCIFLUSH);
        ioctl(m_hHold, TIOCNXCL);
    }
    return bLeft;
}

bool CSimPort::IsHostPresent() const
{
    return m_hNotify < 0 || m_nHostOpens > 0;
}

void CSimPort::HangUp()
{
    // A hang-up after N frames gives the host those N: closing the master
    // drops what the host has not read yet. The tty first needs a moment to
    // move the last write to the host's side, where it can be counted.
    constexpr int32_t HANGUP_PUSH_MS = 5;
    constexpr int32_t HANGUP_DRAIN_MS = 500;
    usleep(HANGUP_PUSH_MS * 1000);
    int nUnread = 0;
    for (int32_t nWaited = 0; m_hHold >= 0 && nWaited < HANGUP_DRAIN_MS
         && ioctl(m_hHold, FIONREAD, &nUnread) == 0 && nUnread > 0; ++nWaited)
        usleep(1000);
    CloseHandle(m_hNotify);
    CloseHandle(m_hHold);
    CloseHandle(m_hMaster);
}

void CSimPort::Unpublish()
{
    if (!m_strLink.empty()) {
        char szTarget[256];
        const ssize_t n = readlink(m_strLink.c_str(), szTarget, sizeof szTarget - 1);
        if (n > 0) {
            szTarget[n] = '\0';
            if (m_strDevice == szTarget)
                unlink(m_strLink.c_str());
        }
        m_strLink.clear();
    }
    if (m_hLock >= 0) {
        if (!m_strLock.empty())
            unlink(m_strLock.c_str());
        CloseHandle(m_hLock);
    }
    m_strLock.clear();
}
