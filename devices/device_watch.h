// Tells when serial devices may have come or gone, so the device list can be
// made again without the user asking. The system's watcher (CDeviceWatch)
// follows udev's tty devices and the ports directory's comN links on Linux,
// and the SERIALCOMM registry key on Windows; tests and faces may give their
// own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class IDeviceWatch {
public:
    virtual ~IDeviceWatch() = default;
    // Starts watching. fnMayHaveChanged runs on the watcher's own thread, once
    // per burst of changes, and only says "the set may have changed": it must
    // hand the news on (post a message) rather than enumerate there. False
    // when nothing could be watched; a watcher that runs is restarted.
    virtual bool Start(std::function<void()> fnMayHaveChanged) = 0;
    // Ends the thread; the callback is not running and never runs again once
    // Stop returns. Safe to call when not started, and more than once.
    virtual void Stop() = 0;
};

// Changes that come within this time of the first are reported once.
constexpr uint32_t DEVICE_WATCH_SETTLE_MS = 150;

// A watcher thread's burst gathering: the first change starts the settle
// time, and what comes within it is reported with it, once.
class CChangeSettle {
public:
    explicit CChangeSettle(uint32_t dwSettleMs) : m_settle(dwSettleMs) {}
    // How long the thread may wait for more before the report is due; -1
    // while no change waits to be reported.
    int32_t WaitMs() const
    {
        if (!m_bPending)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_tDue - CClock::now()).count();
        return left > 0 ? static_cast<int32_t>(left) : 0;
    }
    void OnChange()
    {
        if (!m_bPending) {
            m_bPending = true;
            m_tDue = CClock::now() + m_settle;
        }
    }
    // True once the settle time of a change has passed; then not again
    // until the next change.
    bool TakeDue()
    {
        if (!m_bPending || CClock::now() < m_tDue)
            return false;
        m_bPending = false;
        return true;
    }

private:
    using CClock = std::chrono::steady_clock;
    const std::chrono::milliseconds m_settle;
    bool m_bPending = false;
    CClock::time_point m_tDue;
};

class CDeviceWatchImpl;

// The system's watcher. On Linux the ports directory is the one set at Start
// (GetPortsDirectory); it need not exist yet.
class CDeviceWatch : public IDeviceWatch {
public:
    CDeviceWatch();
    ~CDeviceWatch() override;
    CDeviceWatch(const CDeviceWatch&) = delete;
    CDeviceWatch& operator=(const CDeviceWatch&) = delete;

    bool Start(std::function<void()> fnMayHaveChanged) override;
    void Stop() override;
    // How long a burst is gathered before the callback; before Start.
    void SetSettleMs(uint32_t dwMs) { m_dwSettleMs = dwMs; }

private:
    std::unique_ptr<CDeviceWatchImpl> m_pImpl;
    uint32_t m_dwSettleMs;
};
