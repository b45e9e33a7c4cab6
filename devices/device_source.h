// Where the model gets the serial devices present now. The system's own
// discovery (libudev and the ports directory on Linux) is one; tests give
// their own lists.
#pragma once

#include <string>
#include <vector>

class IDeviceSource {
public:
    virtual ~IDeviceSource() = default;
    // Friendly names "<description> on <node> (COMn)" in discovery order;
    // false when the device set could not be obtained (the list is then empty).
    virtual bool EnumeratePresentPorts(std::vector<std::string>& vecNames) = 0;
};

// The system's discovery (EnumeratePresentPorts of device_discovery.h).
class CSystemDeviceSource : public IDeviceSource {
public:
    bool EnumeratePresentPorts(std::vector<std::string>& vecNames) override;
};
