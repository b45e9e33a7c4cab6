// Serial device discovery: the serial ports present now, each under a
// friendly name "<description> on <device node> (COMn)", and the name test
// that takes the port number back out of such a name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t DEVICE_NAME_SIZE = 256;   // friendly name buffer, terminator included
constexpr int32_t DEVICE_PORT_MIN = 1;
constexpr int32_t DEVICE_PORT_MAX = 255;

// The port number n of the first "COM" (capital letters) in the name, read the
// way atoi reads the text after it; 0 when the name is empty, longer than
// DEVICE_NAME_SIZE - 1 characters, has no "COM", or n is outside 1..255.
int32_t PortNumberFromFriendlyName(const char* pszName);

// "<description> on <device node> (COMn)"; "Serial port" stands in for an
// empty description.
std::string MakeFriendlyName(const char* pszDescription, const char* pszDevNode, int32_t nPort);

// Port number of a ports-directory entry named "comN" (lower case, N in
// decimal without leading zeros, 1..255); 0 for any other name.
int32_t PortNumberFromLinkName(const char* pszName);

// Friendly names of the serial ports present now, in discovery order: serial
// hardware that maps to a port number, and every comN link of the ports
// directory whose target exists. False when the device set cannot be
// obtained (the list is then empty).
bool EnumeratePresentPorts(std::vector<std::string>& vecNames);
