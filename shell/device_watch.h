// Tells when serial devices may have come or gone, so the device list can be
// made again without the user asking. The system's watcher (CDeviceWatch)
// follows udev's tty devices and the ports directory's comN links on Linux,
// and the SERIALCOMM registry key on Windows; tests and faces may give their
// own.
#pragma once

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
