// The device watcher on Linux: one thread polls a udev monitor (tty devices
// added or removed, reported once udev's rules have run, so the node and its
// names are in place), an inotify watch on the ports directory (comN links
// made or removed), and an eventfd that ends the thread.
#include "devices/device_watch.h"

#include "serial/port_names.h"

#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint32_t PORTS_DIR_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A directory above a missing ports directory: watched to see the next step made.
constexpr uint32_t ANCESTOR_EVENTS = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The watched directory itself went away (or its watch ended).
constexpr uint32_t SELF_GONE_EVENTS = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
constexpr size_t INOTIFY_BUFFER_SIZE = 4096;
constexpr int32_t ARM_TRIES = 8;

// "/a/b" -> "/a", "/a" -> "/", "b" -> "."; "" when there is nothing above.
std::string ParentDir(const std::string& strDir)
{
    const size_t nSlash = strDir.find_last_of('/');
    if (nSlash == std::string::npos)
        return strDir == "." ? std::string() : std::string(".");
    if (nSlash == 0)
        return strDir == "/" ? std::string() : std::string("/");
    return strDir.substr(0, nSlash);
}

std::string LastName(const std::string& strDir)
{
    const size_t nSlash = strDir.find_last_of('/');
    return nSlash == std::string::npos ? strDir : strDir.substr(nSlash + 1);
}

bool IsDeviceAction(const char* pszAction)
{
    return pszAction != nullptr
        && (std::strcmp(pszAction, "add") == 0 || std::strcmp(pszAction, "remove") == 0
            || std::strcmp(pszAction, "move") == 0);
}

} // namespace

class CDeviceWatchImpl {
public:
    CDeviceWatchImpl(std::string strPortsDir, uint32_t dwSettleMs, std::function<void()> fnChanged)
        : m_strPortsDir(std::move(strPortsDir))
        , m_dwSettleMs(dwSettleMs)
        , m_fnChanged(std::move(fnChanged))
    {
        while (m_strPortsDir.size() > 1 && m_strPortsDir.back() == '/')
            m_strPortsDir.pop_back();
    }
    ~CDeviceWatchImpl()
    {
        if (m_thread.joinable()) {
            RequestStop();
            m_thread.join();
        }
        if (m_pMonitor != nullptr)
            udev_monitor_unref(m_pMonitor);
        if (m_pUdev != nullptr)
            udev_unref(m_pUdev);
        for (int fd : { m_fdStop, m_fdInotify }) {
            if (fd >= 0)
                close(fd);
        }
    }
    CDeviceWatchImpl(const CDeviceWatchImpl&) = delete;
    CDeviceWatchImpl& operator=(const CDeviceWatchImpl&) = delete;

    // Either source is enough: without udev (a container) the links still count.
    bool Start()
    {
        m_fdStop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_fdStop < 0)
            return false;
        const bool bUdev = OpenUdevMonitor();
        const bool bDir = OpenDirWatch();
        if (!bUdev && !bDir)
            return false;
        m_thread = std::thread([this] { Run(); });
        return true;
    }

private:
    bool OpenUdevMonitor();
    bool OpenDirWatch();
    void ArmDirWatch();
    bool ArmDirWatchOnce();
    bool DrainInotify();
    bool DrainUdev();
    void RequestStop();
    void Run();

    std::string m_strPortsDir;
    uint32_t m_dwSettleMs;
    std::function<void()> m_fnChanged;
    int m_fdStop = -1;
    int m_fdInotify = -1;
    int m_nWd = -1;
    bool m_bWatchingPortsDir = false;
    std::string m_strNextName;   // the step below the watched ancestor, toward the ports directory
    udev* m_pUdev = nullptr;
    udev_monitor* m_pMonitor = nullptr;
    std::thread m_thread;
};

bool CDeviceWatchImpl::OpenUdevMonitor()
{
    m_pUdev = udev_new();
    if (m_pUdev == nullptr)
        return false;
    m_pMonitor = udev_monitor_new_from_netlink(m_pUdev, "udev");
    if (m_pMonitor == nullptr)
        return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(m_pMonitor, "tty", nullptr) < 0
        || udev_monitor_enable_receiving(m_pMonitor) < 0) {
        udev_monitor_unref(m_pMonitor);
        m_pMonitor = nullptr;
        return false;
    }
    return true;
}

bool CDeviceWatchImpl::OpenDirWatch()
{
    if (m_strPortsDir.empty())
        return false;
    m_fdInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fdInotify < 0)
        return false;
    ArmDirWatch();
    return true;
}

// Watches the ports directory, or while it is missing the nearest directory
// above it that exists, so that making it (as the simulated dongle and
// users do on first use) is seen. A step made while the watch was being set
// up is caught by looking again.
void CDeviceWatchImpl::ArmDirWatch()
{
    for (int32_t nTry = 0; nTry < ARM_TRIES; ++nTry) {
        if (ArmDirWatchOnce())
            return;
    }
}

// False when the step below the watched ancestor appeared meanwhile.
bool CDeviceWatchImpl::ArmDirWatchOnce()
{
    if (m_nWd >= 0)
        inotify_rm_watch(m_fdInotify, m_nWd);   // EINVAL when already ended: nothing to undo
    m_nWd = -1;
    m_bWatchingPortsDir = false;
    std::string strDir = m_strPortsDir;
    std::string strBelow;
    while (!strDir.empty()) {
        const bool bPortsDir = strBelow.empty();
        m_nWd = inotify_add_watch(m_fdInotify, strDir.c_str(), bPortsDir ? PORTS_DIR_EVENTS : ANCESTOR_EVENTS);
        if (m_nWd >= 0) {
            m_bWatchingPortsDir = bPortsDir;
            m_strNextName = strBelow;
            struct stat st;
            return bPortsDir || stat((strDir + "/" + strBelow).c_str(), &st) != 0;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return true;   // no access: only udev is left
        strBelow = LastName(strDir);
        strDir = ParentDir(strDir);
    }
    return true;
}

// True when a comN link may have come or gone. Events of a watch already
// replaced (its IN_IGNORED above all) are left alone.
bool CDeviceWatchImpl::DrainInotify()
{
    alignas(inotify_event) char abyBuf[INOTIFY_BUFFER_SIZE];
    bool bChanged = false;
    bool bRearm = false;
    for (;;) {
        const ssize_t nRead = read(m_fdInotify, abyBuf, sizeof(abyBuf));
        if (nRead <= 0)
            break;   // EAGAIN: all read
        for (ssize_t nOff = 0; nOff + static_cast<ssize_t>(sizeof(inotify_event)) <= nRead;) {
            const auto* pEv = reinterpret_cast<const inotify_event*>(abyBuf + nOff);
            nOff += static_cast<ssize_t>(sizeof(inotify_event) + pEv->len);
            if ((pEv->mask & IN_Q_OVERFLOW) != 0) {
                bRearm = true;   // events were lost: look at everything again
                bChanged = true;
                continue;
            }
            if (pEv->wd != m_nWd)
                continue;
            const char* pszName = pEv->len > 0 ? pEv->name : "";
            if ((pEv->mask & SELF_GONE_EVENTS) != 0 || (!m_bWatchingPortsDir && m_strNextName == pszName)) {
                bRearm = true;
                bChanged = true;
            } else if (m_bWatchingPortsDir && ComPortFromLinkName(pszName) != 0) {
                bChanged = true;
            }
        }
    }
    if (bRearm)
        ArmDirWatch();
    return bChanged;
}

bool CDeviceWatchImpl::DrainUdev()
{
    bool bChanged = false;
    while (udev_device* pDev = udev_monitor_receive_device(m_pMonitor)) {
        bChanged = bChanged || IsDeviceAction(udev_device_get_action(pDev));
        udev_device_unref(pDev);
    }
    return bChanged;
}

void CDeviceWatchImpl::RequestStop()
{
    const uint64_t qwOne = 1;
    if (write(m_fdStop, &qwOne, sizeof(qwOne)) < 0) {
        // Already signalled (the counter is full): the thread ends anyway.
    }
}

// A change starts the settle time; what comes within it is reported with it.
void CDeviceWatchImpl::Run()
{
    enum { FD_STOP, FD_INOTIFY, FD_UDEV, FD_COUNT };
    pollfd fds[FD_COUNT] = {};
    fds[FD_STOP] = { m_fdStop, POLLIN, 0 };
    fds[FD_INOTIFY] = { m_fdInotify, POLLIN, 0 };   // -1 is skipped by poll
    fds[FD_UDEV] = { m_pMonitor != nullptr ? udev_monitor_get_fd(m_pMonitor) : -1, POLLIN, 0 };
    CChangeSettle settle(m_dwSettleMs);
    for (;;) {
        const int nReady = poll(fds, FD_COUNT, settle.WaitMs());
        if (nReady < 0 && errno != EINTR)
            return;
        if (nReady > 0 && fds[FD_STOP].revents != 0)
            return;
        bool bChanged = false;
        if (nReady > 0 && (fds[FD_INOTIFY].revents & POLLIN) != 0)
            bChanged = DrainInotify();
        if (nReady > 0 && (fds[FD_UDEV].revents & POLLIN) != 0)
            bChanged = DrainUdev() || bChanged;
        if (bChanged)
            settle.OnChange();
        if (settle.TakeDue())
            m_fnChanged();
    }
}

CDeviceWatch::CDeviceWatch()
    : m_dwSettleMs(DEVICE_WATCH_SETTLE_MS)
{
}

CDeviceWatch::~CDeviceWatch()
{
    Stop();
}

bool CDeviceWatch::Start(std::function<void()> fnMayHaveChanged)
{
    Stop();
    const char* pszPorts = GetPortsDirectory();
    auto pImpl = std::make_unique<CDeviceWatchImpl>(pszPorts != nullptr ? pszPorts : "", m_dwSettleMs,
        std::move(fnMayHaveChanged));
    if (!pImpl->Start())
        return false;
    m_pImpl = std::move(pImpl);
    return true;
}

// The impl's destructor wakes the thread and joins it.
void CDeviceWatch::Stop()
{
    m_pImpl.reset();
}
