// What quillmark-extcap tells Wireshark: the lines of --extcap-interfaces,
// --extcap-dlts and --extcap-config, and the interface names that carry the
// port number from the listing to the capture. Plain text, no OS.
#pragma once

#include "devices/device_source.h"

#include <cstdint>
#include <string>
#include <vector>

// "quillmark-COM200" names the dongle on COM200.
extern const char* const EXTCAP_INTERFACE_PREFIX;   // "quillmark-COM"
constexpr int32_t EXTCAP_LINKTYPE = 195;            // IEEE 802.15.4 with FCS

std::string ExtcapInterfaceName(int32_t nPort);
// The port number of an interface name; 0 for any name we did not make.
int32_t PortFromExtcapInterface(const std::string& strInterface);

// "extcap {version=...}{help=...}{display=...}", one interface line per
// device with a port number (1..255), in discovery order: "quillmark-COMn"
// by the item's port, shown by its name; then the interface toolbar: the
// channel selector (nDefault, 11..26, marked) and the log button.
std::string ExtcapInterfacesText(const std::string& strVersion, const std::string& strHelp,
    const std::vector<CDeviceItem>& vecDevices, int32_t nDefault);
// 195 only: Wireshark 4.0 passes no link type to an extcap, so one it could
// pick would change nothing; the TAP one (283) follows --tap and --hop.
std::string ExtcapDltsText();
// The capture's options: the channel selector with nDefault (11..26) marked
// as the default, the hop list and its dwell, and the TAP flag.
std::string ExtcapConfigText(int32_t nDefault);
