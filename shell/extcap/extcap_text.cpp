#include "shell/extcap/extcap_text.h"

#include "engine/channels.h"
#include "devices/device_discovery.h"
#include "engine/channels.h"

const char* const EXTCAP_INTERFACE_PREFIX = "quillmark-COM";

namespace {

constexpr const char* DISPLAY_PREFIX = "Quillmark 802.15.4 sniffer: ";

// A value inside {...}: braces would end the field early and a line break the
// line, so device names that hold them are shown with look-alikes.
std::string FieldText(const std::string& str)
{
    std::string strOut = str;
    for (char& ch : strOut) {
        if (ch == '{')
            ch = '(';
        else if (ch == '}')
            ch = ')';
        else if (static_cast<unsigned char>(ch) < 0x20)
            ch = ' ';
    }
    return strOut;
}

} // namespace

std::string ExtcapInterfaceName(int32_t nPort)
{
    return EXTCAP_INTERFACE_PREFIX + std::to_string(nPort);
}

int32_t PortFromExtcapInterface(const std::string& strInterface)
{
    const std::string strPrefix = EXTCAP_INTERFACE_PREFIX;
    if (strInterface.compare(0, strPrefix.size(), strPrefix) != 0)
        return 0;
    const std::string strDigits = strInterface.substr(strPrefix.size());
    // Exactly the decimal digits ExtcapInterfaceName writes: no sign, no leading zero.
    if (strDigits.empty() || strDigits.size() > 3 || strDigits[0] == '0')
        return 0;
    int32_t nPort = 0;
    for (char ch : strDigits) {
        if (ch < '0' || ch > '9')
            return 0;
        nPort = nPort * 10 + (ch - '0');
    }
    return (nPort >= DEVICE_PORT_MIN && nPort <= DEVICE_PORT_MAX) ? nPort : 0;
}

std::string ExtcapInterfacesText(const std::string& strVersion, const std::string& strHelp,
    const std::vector<CDeviceItem>& vecDevices)
{
    std::string strOut = "extcap {version=" + FieldText(strVersion) + "}{help=" + FieldText(strHelp) + "}\n";
    for (const CDeviceItem& device : vecDevices) {
        if (device.m_nPort < DEVICE_PORT_MIN || device.m_nPort > DEVICE_PORT_MAX)
            continue;   // nothing to open it by
        strOut += "interface {value=" + ExtcapInterfaceName(device.m_nPort) + "}{display=" + DISPLAY_PREFIX +
                  FieldText(device.m_strName) + "}\n";
    }
    return strOut;
}

std::string ExtcapDltsText()
{
    // Appended step by step: GCC 12 at -O3 warns falsely (-Wrestrict) on "..." + to_string().
    std::string strOut = "dlt {number=";
    strOut += std::to_string(EXTCAP_LINKTYPE);
    strOut += "}{name=IEEE802_15_4_WITHFCS}{display=IEEE 802.15.4 with FCS}\n";
    return strOut;
}

std::string ExtcapConfigText(int32_t nDefault)
{
    std::string strOut = "arg {number=0}{call=--channel}{display=Channel}"
                         "{tooltip=The IEEE 802.15.4 channel the dongle listens on}"
                         "{type=selector}{required=true}\n";
    for (int32_t nChannel = CHANNEL_FIRST; nChannel <= CHANNEL_LAST; ++nChannel) {
        strOut += "value {arg=0}{value=" + std::to_string(nChannel) + "}{display=" +
                  ChannelText(nChannel) + "}{default=" + (nChannel == nDefault ? "true" : "false") + "}\n";
    }
    return strOut;
}
