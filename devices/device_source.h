// Where the model gets the serial devices present now. The system's own
// discovery (libudev and the ports directory on Linux, SetupDi and the
// SERIALCOMM key on Windows) is one; tests give their own lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One serial device present: the name shown for it and the port number
// discovery found it under. The number is data of its own: it is never read
// back out of the name, which may hold "COM" and digits of its own (a
// description such as "Virtual COM Port" or "COM3 adapter").
struct CDeviceItem {
    std::string m_strName;
    int32_t m_nPort = 0;
};

class IDeviceSource {
public:
    virtual ~IDeviceSource() = default;
    // The devices present, in discovery order, each with its port (1..255);
    // false when the device set could not be obtained (the list is then empty).
    virtual bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems) = 0;
};

// The system's discovery (EnumeratePresentPorts of device_discovery.h).
class CSystemDeviceSource : public IDeviceSource {
public:
    bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems) override;
};
