// The device watcher on Linux: one thread polls a udev monitor (tty devices
// added or removed, reported once udev's rules have run, so the node and its
// names are in place), inotify watches on the ports directory (comN links
// made or removed) and on the way to it, and an eventfd that ends the thread.
//
// The ports directory may be a symbolic link (or a chain of them). Its comN
// links are watched in the directory it leads to, and the directory holding
// each link on the way is watched for that name, so a link replaced (pointed
// elsewhere) or a target removed and made again re-arms the watches on what
// the path names now.
#include "devices/device_watch.h"

#include "serial/port_names.h"

#include <libudev.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The directory the ports path leads to: its comN links.
constexpr uint32_t PORTS_DIR_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A directory holding a step toward the ports directory (a link on the way,
// the ports entry itself, or the next missing part): that name made, removed
// or renamed over.
constexpr uint32_t STEP_DIR_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t STEP_NAME_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The watched directory itself went away (or its watch ended).
constexpr uint32_t SELF_GONE_EVENTS = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
constexpr size_t INOTIFY_BUFFER_SIZE = 4096;
constexpr int32_t ARM_TRIES = 8;
// Links followed from the ports path before giving up (a loop): the
// directories holding them stay watched, so mending the loop is seen.
constexpr int32_t LINK_HOPS_MAX = 16;

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

std::string WithoutTrailingSlashes(std::string strPath)
{
    while (strPath.size() > 1 && strPath.back() == '/')
        strPath.pop_back();
    return strPath;
}

bool IsDeviceAction(const char* pszAction)
{
    return pszAction != nullptr
        && (std::strcmp(pszAction, "add") == 0 || std::strcmp(pszAction, "remove") == 0
            || std::strcmp(pszAction, "move") == 0);
}

// One directory to watch: the ports directory itself (strName empty), or a
// directory in which strName is the next step toward it.
struct SWatchStep {
    std::string strDir;
    std::string strName;
    bool operator==(const SWatchStep& other) const = default;
};

// The nearest existing directory above a missing strPath, watched for the
// part below it. Nothing when a part cannot be looked at (no access).
void AddMissingSteps(const std::string& strPath, std::vector<SWatchStep>& vecSteps)
{
    std::string strBelow = LastName(strPath);
    std::string strDir = ParentDir(strPath);
    while (!strDir.empty()) {
        struct stat st;
        if (stat(strDir.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                vecSteps.push_back(SWatchStep { strDir, strBelow });
            return;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return;
        strBelow = LastName(strDir);
        strDir = ParentDir(strDir);
    }
}

// What the ports path names now, as the directories to watch: the directory
// of each link on the way (for that link's name) and the directory the path
// ends in, or the nearest existing one above a missing part.
std::vector<SWatchStep> ResolveWatchSteps(const std::string& strPortsDir)
{
    std::vector<SWatchStep> vecSteps;
    std::string strPath = strPortsDir;
    for (int32_t nHop = 0; nHop < LINK_HOPS_MAX; ++nHop) {
        struct stat st;
        if (lstat(strPath.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                AddMissingSteps(strPath, vecSteps);
            return vecSteps;
        }
        const std::string strParent = ParentDir(strPath);
        if (!strParent.empty())
            vecSteps.push_back(SWatchStep { strParent, LastName(strPath) });
        if (!S_ISLNK(st.st_mode)) {
            if (S_ISDIR(st.st_mode))
                vecSteps.push_back(SWatchStep { strPath, std::string() });
            return vecSteps;   // a file where the directory should be: its name is watched
        }
        char szTarget[PATH_MAX];
        const ssize_t nLen = readlink(strPath.c_str(), szTarget, sizeof(szTarget));
        if (nLen <= 0 || static_cast<size_t>(nLen) >= sizeof(szTarget))
            return vecSteps;
        std::string strTarget(szTarget, static_cast<size_t>(nLen));
        if (strTarget[0] != '/')
            strTarget = (strParent == "/" ? std::string() : strParent) + "/" + strTarget;
        strPath = WithoutTrailingSlashes(strTarget);
    }
    return vecSteps;
}

} // namespace

class CDeviceWatchImpl {
public:
    CDeviceWatchImpl(std::string strPortsDir, uint32_t dwSettleMs, std::function<void()> fnChanged)
        : m_strPortsDir(WithoutTrailingSlashes(std::move(strPortsDir)))
        , m_dwSettleMs(dwSettleMs)
        , m_fnChanged(std::move(fnChanged))
    {
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
    // What one watch descriptor stands for; one directory may be several
    // steps at once (a link beside its target), and inotify gives it one
    // descriptor.
    struct SWatched {
        bool bPortsDir = false;
        std::vector<std::string> vecNames;
    };

    bool OpenUdevMonitor();
    bool OpenDirWatch();
    void ArmDirWatch();
    bool ArmDirWatchOnce();
    void RemoveDirWatches();
    bool DrainInotify();
    bool DrainUdev();
    void RequestStop();
    void Run();

    std::string m_strPortsDir;
    uint32_t m_dwSettleMs;
    std::function<void()> m_fnChanged;
    int m_fdStop = -1;
    int m_fdInotify = -1;
    std::map<int, SWatched> m_mapWatched;
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

// Watches what the ports path names now (see ResolveWatchSteps), so that
// making it (as the simulated dongle and users do on first use), replacing
// it, or pointing its link elsewhere is seen. A step changed while the
// watches were being set up is caught by looking again.
void CDeviceWatchImpl::ArmDirWatch()
{
    for (int32_t nTry = 0; nTry < ARM_TRIES; ++nTry) {
        if (ArmDirWatchOnce())
            return;
    }
}

void CDeviceWatchImpl::RemoveDirWatches()
{
    for (const auto& entry : m_mapWatched)
        inotify_rm_watch(m_fdInotify, entry.first);   // EINVAL when already ended: nothing to undo
    m_mapWatched.clear();
}

// False when what the path names changed while the watches were set.
bool CDeviceWatchImpl::ArmDirWatchOnce()
{
    RemoveDirWatches();
    const std::vector<SWatchStep> vecSteps = ResolveWatchSteps(m_strPortsDir);
    for (const SWatchStep& step : vecSteps) {
        const bool bPortsDir = step.strName.empty();
        // IN_MASK_ADD: a directory that is two steps keeps both masks.
        const int nWd = inotify_add_watch(m_fdInotify, step.strDir.c_str(),
            (bPortsDir ? PORTS_DIR_EVENTS : STEP_DIR_EVENTS) | IN_MASK_ADD);
        if (nWd < 0)
            continue;   // gone meanwhile (seen below), or no access: the other watches and udev are left
        SWatched& watched = m_mapWatched[nWd];
        if (bPortsDir)
            watched.bPortsDir = true;
        else
            watched.vecNames.push_back(step.strName);
    }
    return ResolveWatchSteps(m_strPortsDir) == vecSteps;
}

// True when a comN link may have come or gone, or the way to them changed.
// Events of a watch already replaced (its IN_IGNORED above all) are left alone.
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
            const auto it = m_mapWatched.find(pEv->wd);
            if (it == m_mapWatched.end())
                continue;
            const SWatched& watched = it->second;
            const std::string strName = pEv->len > 0 ? std::string(pEv->name) : std::string();
            bool bStep = false;
            if ((pEv->mask & STEP_NAME_EVENTS) != 0) {
                for (const std::string& strStep : watched.vecNames)
                    bStep = bStep || strStep == strName;
            }
            if ((pEv->mask & SELF_GONE_EVENTS) != 0 || bStep) {
                bRearm = true;
                bChanged = true;
            } else if (watched.bPortsDir && ComPortFromLinkName(strName.c_str()) != 0) {
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
