// The device watcher on Windows: one thread waits for a change of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (every serial port, real or virtual,
// is listed there while present; under Wine too) or for the stop event.
// WM_DEVICECHANGE reaches only top-level windows, so the dialog forwards it
// on its own; this covers what it does not announce.
#include "devices/device_watch.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <thread>
#include <utility>

namespace {

constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Where SERIALCOMM is made when the first port of a boot arrives.
constexpr char DEVICEMAP_KEY[] = "HARDWARE\\DEVICEMAP";
constexpr DWORD NOTIFY_FILTER = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

} // namespace

class CDeviceWatchImpl {
public:
    CDeviceWatchImpl(uint32_t dwSettleMs, std::function<void()> fnChanged)
        : m_dwSettleMs(dwSettleMs)
        , m_fnChanged(std::move(fnChanged))
    {
    }
    ~CDeviceWatchImpl()
    {
        if (m_thread.joinable()) {
            SetEvent(m_hStop);
            m_thread.join();
        }
        CloseKey();
        for (HANDLE h : { m_hStop, m_hChange, m_hArmed }) {
            if (h != nullptr)
                CloseHandle(h);
        }
    }
    CDeviceWatchImpl(const CDeviceWatchImpl&) = delete;
    CDeviceWatchImpl& operator=(const CDeviceWatchImpl&) = delete;

    // Returns once the first change is asked for: one made after Start is seen.
    bool Start()
    {
        m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_hChange = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m_hArmed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_hStop == nullptr || m_hChange == nullptr || m_hArmed == nullptr || !OpenKey())
            return false;
        m_thread = std::thread([this] { Run(); });
        WaitForSingleObject(m_hArmed, INFINITE);
        return m_bArmed;
    }

private:
    bool OpenKey();
    void CloseKey();
    bool Arm();
    void Run();

    uint32_t m_dwSettleMs;
    std::function<void()> m_fnChanged;
    HANDLE m_hStop = nullptr;
    HANDLE m_hChange = nullptr;
    HANDLE m_hArmed = nullptr;     // set by the thread once its first Arm is done
    bool m_bArmed = false;         // written before m_hArmed is set
    HKEY m_hKey = nullptr;
    bool m_bWatchingParent = false;   // SERIALCOMM is missing: DEVICEMAP is watched for it
    std::thread m_thread;
};

bool CDeviceWatchImpl::OpenKey()
{
    CloseKey();
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_NOTIFY, &m_hKey) == ERROR_SUCCESS) {
        m_bWatchingParent = false;
        return true;
    }
    m_hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DEVICEMAP_KEY, 0, KEY_NOTIFY, &m_hKey) == ERROR_SUCCESS) {
        m_bWatchingParent = true;
        return true;
    }
    m_hKey = nullptr;
    return false;
}

void CDeviceWatchImpl::CloseKey()
{
    if (m_hKey != nullptr)
        RegCloseKey(m_hKey);
    m_hKey = nullptr;
}

// Asks for the next change. Called on the watcher's thread: before Windows 8
// a registration ends with the thread that made it. A key that was deleted
// refuses a new one and is opened again.
bool CDeviceWatchImpl::Arm()
{
    for (int32_t nTry = 0; nTry < 2; ++nTry) {
        if (m_hKey != nullptr
            && RegNotifyChangeKeyValue(m_hKey, m_bWatchingParent ? TRUE : FALSE, NOTIFY_FILTER, m_hChange, TRUE)
                == ERROR_SUCCESS)
            return true;
        if (!OpenKey())
            return false;
    }
    return false;
}

// A change starts the settle time; what comes within it is reported with it.
void CDeviceWatchImpl::Run()
{
    const HANDLE ahWait[2] = { m_hStop, m_hChange };
    m_bArmed = Arm();
    SetEvent(m_hArmed);
    if (!m_bArmed)
        return;
    CChangeSettle settle(m_dwSettleMs);
    for (;;) {
        const int32_t nWaitMs = settle.WaitMs();
        const DWORD dwTimeoutMs = nWaitMs < 0 ? INFINITE : static_cast<DWORD>(nWaitMs);
        const DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, dwTimeoutMs);
        if (dwWait == WAIT_OBJECT_0 + 1) {
            // SERIALCOMM may exist now: the parent's watch gives way to it.
            if (m_bWatchingParent)
                OpenKey();
            Arm();
            settle.OnChange();
        } else if (dwWait != WAIT_TIMEOUT) {
            return;   // stopped, or the wait failed
        }
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
    auto pImpl = std::make_unique<CDeviceWatchImpl>(m_dwSettleMs, std::move(fnMayHaveChanged));
    if (!pImpl->Start())
        return false;
    m_pImpl = std::move(pImpl);
    return true;
}

// The impl's destructor sets the stop event and joins the thread.
void CDeviceWatch::Stop()
{
    m_pImpl.reset();
}
