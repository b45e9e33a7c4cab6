// The Windows discovery's parts that tests call on their own.
#pragma once

#include "devices/device_source.h"

#include <string>
#include <vector>

// Adds an item "COMn" for every SERIALCOMM value that names a port COM1..255
// no item of vecItems has yet, each port once.
void AddSerialCommPorts(std::vector<CDeviceItem>& vecItems, const std::vector<std::string>& vecComNames);

// The present Ports-class devices by their SetupDi friendly names, each with
// its port (PortNumberOfPortsDevice); devices without one are left out. False
// when the device set cannot be obtained.
bool EnumerateSetupDiPorts(std::vector<CDeviceItem>& vecItems);

// The values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; false when the key is missing.
bool ReadSerialCommPorts(std::vector<std::string>& vecComNames);
