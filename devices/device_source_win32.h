// The Windows discovery's parts that tests call on their own.
#pragma once

#include <string>
#include <vector>

// Adds "COMn" for every SERIALCOMM value that names a port 1..255 no entry of
// vecNames carries yet (by the name test), each port once.
void AddSerialCommPorts(std::vector<std::string>& vecNames, const std::vector<std::string>& vecComNames);

// The SetupDi friendly names of the present Ports-class devices; false when
// the device set cannot be obtained.
bool EnumerateSetupDiPorts(std::vector<std::string>& vecNames);

// The values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; false when the key is missing.
bool ReadSerialCommPorts(std::vector<std::string>& vecComNames);
