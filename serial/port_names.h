// Port numbers and device nodes. COMn resolves to a link "comN" in the ports
// directory when one exists with a present target, else to a fixed range:
// COM1-32 /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31.
// COM97-255 exist only as links.
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t COM_PORT_MIN = 1;
constexpr int32_t COM_PORT_MAX = 255;

// Set once by the application before any port opens (and by tests and tools).
void SetPortsDirectory(const char* pszDir);
const char* GetPortsDirectory();            // "" until set
std::string CopyPortsDirectory();           // the same, as a copy (any thread)
// Whether a comN link in the ports directory can name a port here (not on
// Windows, where COMn is the device itself).
bool PortLinksApply();

// The device path for COMn: the link's target, else the fixed-range node (whether
// or not it exists); "" when nothing maps.
std::string ResolveComPort(int32_t nPort);
// The fixed-range device node for COMn, "" outside COM1-96.
std::string FixedRangeDeviceNode(int32_t nPort);
// Reverse of the fixed ranges ("/dev/ttyACM0" -> 65); 0 when none.
int32_t ComPortFromDeviceNode(const char* pszNode);
// The port number in a name like "\\.\Com7" or "COM7" (letters in any case);
// 0 when the name is not of that form or the number is outside 1-255.
int32_t ComPortFromName(const char* pszName);
// The port number of a ports-directory entry named exactly "comN" (lower case,
// N in decimal without leading zeros, 1-255), the name ResolveComPort looks
// for; 0 for any other name.
int32_t ComPortFromLinkName(const char* pszName);
