#include "shell/extcap/extcap_text.h"

#include "devices/device_discovery.h"
#include "engine/channel_plan.h"
#include "engine/channels.h"
#include "engine/tuning_texts.h"
#include "shell/extcap/extcap_toolbar.h"

const char* const EXTCAP_INTERFACE_PREFIX = "quillmark-COM";

namespace {

constexpr const char* DISPLAY_PREFIX = "Quillmark 802.15.4 sniffer: ";
// The interface toolbar's title.
constexpr const char* TOOLBAR_TITLE = "Quillmark 802.15.4 sniffer";

constexpr const char* CHANNEL_RE = "(1[1-9]|2[0-6])";   // 11..26
constexpr const char* SECONDS_RE = "^[0-9]+([.][0-9]+)?$";

// The pattern Wireshark checks a hop list with: channels and runs of them
// ("11-26", "11, 15,20-22") as ParseChannelList reads them, or nothing.
std::string HopListPattern()
{
    std::string strItem = CHANNEL_RE;
    strItem += "( *- *";
    strItem += CHANNEL_RE;
    strItem += ")?";
    std::string strOut = "^ *(";
    strOut += strItem;
    strOut += " *(, *";
    strOut += strItem;
    strOut += " *)*)?$";
    return strOut;
}

// The channel values of a selector, arg or control number nNumber, nDefault marked.
std::string ChannelValues(const char* pszOf, int32_t nNumber, int32_t nDefault)
{
    std::string strOut;
    for (int32_t nChannel = CHANNEL_FIRST; nChannel <= CHANNEL_LAST; ++nChannel) {
        strOut += std::string("value {") + pszOf + "=" + std::to_string(nNumber) + "}{value=" +
                  std::to_string(nChannel) + "}{display=" + ChannelText(nChannel) + "}{default=" +
                  (nChannel == nDefault ? "true" : "false") + "}\n";
    }
    return strOut;
}

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
    const std::vector<CDeviceItem>& vecDevices, int32_t nDefault)
{
    std::string strOut = "extcap {version=" + FieldText(strVersion) + "}{help=" + FieldText(strHelp) +
                         "}{display=" + TOOLBAR_TITLE + "}\n";
    for (const CDeviceItem& device : vecDevices) {
        if (device.m_nPort < DEVICE_PORT_MIN || device.m_nPort > DEVICE_PORT_MAX)
            continue;   // nothing to open it by
        strOut += "interface {value=" + ExtcapInterfaceName(device.m_nPort) + "}{display=" + DISPLAY_PREFIX +
                  FieldText(device.m_strName) + "}\n";
    }
    strOut += "control {number=" + std::to_string(TOOLBAR_CHANNEL_CONTROL) +
              "}{type=selector}{display=Channel}{tooltip=Retune the dongle while it captures}\n";
    strOut += "control {number=" + std::to_string(TOOLBAR_LOG_CONTROL) +
              "}{type=button}{role=logger}{display=Log}{tooltip=What the capture said}\n";
    strOut += ChannelValues("control", TOOLBAR_CHANNEL_CONTROL, nDefault);
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
    strOut += std::string("arg {number=1}{call=--hop}{display=Hop over channels}"
                          "{tooltip=Channels to go round, such as 11-26 or 11,15,20; empty: stay on the channel above}"
                          "{type=string}{validation=") + HopListPattern() + "}\n";
    strOut += std::string("arg {number=2}{call=--dwell}{display=Seconds on each channel}"
                          "{tooltip=How long a hop stays on each channel}{type=string}{default=") +
              SecondsText(CHANNEL_DWELL_DEFAULT_MS) + "}{validation=" + SECONDS_RE + "}\n";
    strOut += "arg {number=3}{call=--tap}{display=Channel on every frame (IEEE 802.15.4 TAP)}"
              "{tooltip=Each frame carries the channel it was heard on; always so while hopping}"
              "{type=boolflag}{default=false}\n";
    strOut += ChannelValues("arg", 0, nDefault);
    return strOut;
}
