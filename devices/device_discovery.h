// Serial device discovery: the serial ports present now, each with the port
// number discovery found it under and a friendly name
// "<description> on <device node> (COMn)" to show.
#pragma once

#include "devices/device_source.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t DEVICE_NAME_SIZE = 256;   // friendly name buffer, terminator included
constexpr int32_t DEVICE_PORT_MIN = 1;
constexpr int32_t DEVICE_PORT_MAX = 255;

// The port number n of the LAST "COM" (capital letters) directly followed by
// decimal digits, as Windows ends a friendly name with "(COMn)": a description
// before it may hold "COM" too ("Virtual COM Port (COM3)", "COM3 adapter
// (COM33)"). 0 when the name is empty, longer than DEVICE_NAME_SIZE - 1
// characters, has no such "COM", or n has a leading zero or is outside 1..255.
// Only for names that come without a port number of their own.
int32_t PortNumberFromFriendlyName(const char* pszName);

// The port of a Ports-class device on Windows: its registry port name
// ("COM7") when that names one, else the friendly name's, by the test above;
// 0 when neither does.
int32_t PortNumberOfPortsDevice(const char* pszPortName, const char* pszFriendlyName);

// "<description> on <device node> (COMn)"; "Serial port" stands in for an
// empty description.
std::string MakeFriendlyName(const char* pszDescription, const char* pszDevNode, int32_t nPort);

// Port number of a ports-directory entry named "comN" (lower case, N in
// decimal without leading zeros, 1..255); 0 for any other name.
int32_t PortNumberFromLinkName(const char* pszName);

// The serial ports present now, in discovery order, each with the port it
// maps to: serial hardware that maps to a port number, and every comN link of
// the ports directory whose target exists. False when the device set cannot
// be obtained (the list is then empty).
bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems);
