#include "shell/extcap/extcap_args.h"

#include <cstring>

#include "engine/channel_plan.h"
#include "engine/channels.h"

namespace {

struct CActionName {
    const char* m_pszName;
    EExtcapAction m_eAction;
};

constexpr CActionName ACTIONS[] = {
    { "--help", EExtcapAction::Help },
    { "--extcap-interfaces", EExtcapAction::Interfaces },
    { "--extcap-dlts", EExtcapAction::Dlts },
    { "--extcap-config", EExtcapAction::Config },
    { "--capture", EExtcapAction::Capture },
    { "--install", EExtcapAction::Install },
    { "--uninstall", EExtcapAction::Uninstall },
};

// Wireshark's options that take their value in the next argument; the ones we
// do not use are skipped with it, so that a value is never read as an option.
constexpr const char* SKIPPED_WITH_VALUE[] = {
    "--extcap-capture-filter", "--extcap-reload-option", "--debug-file", "--extcap-version",
};

bool ParseStopWait(const std::string& strText, uint32_t& dwMs)
{
    if (strText.empty() || strText.size() > 6)
        return false;
    uint32_t dw = 0;
    for (char ch : strText) {
        if (ch < '0' || ch > '9')
            return false;
        dw = dw * 10 + static_cast<uint32_t>(ch - '0');
    }
    if (dw == 0 || dw > EXTCAP_STOP_WAIT_MAX_MS)
        return false;
    dwMs = dw;
    return true;
}

// The command line one option at a time: its name, and its value inline
// after '=' (--name=value) or in the next argument.
class CArgCursor {
public:
    CArgCursor(int argc, const char* const* argv) : m_nArgc(argc), m_ppArgv(argv) {}

    bool Next()
    {
        if (++m_nIndex >= m_nArgc)
            return false;
        m_strName = m_ppArgv[m_nIndex];
        m_bInline = false;
        const size_t nEq = m_strName.find('=');
        if (m_strName.rfind("--", 0) == 0 && nEq != std::string::npos) {
            m_strValue = m_strName.substr(nEq + 1);
            m_strName.resize(nEq);
            m_bInline = true;
        }
        return true;
    }
    const std::string& Name() const { return m_strName; }
    // A value that must be there; false when the line ends first.
    bool TakeValue(std::string& strOut)
    {
        if (m_bInline) {
            strOut = m_strValue;
            return true;
        }
        if (m_nIndex + 1 >= m_nArgc)
            return false;
        strOut = m_ppArgv[++m_nIndex];
        return true;
    }
    // A value that may be left out: a following option is not one.
    bool TakeOptionalValue(std::string& strOut)
    {
        if (!m_bInline && (m_nIndex + 1 >= m_nArgc || std::strncmp(m_ppArgv[m_nIndex + 1], "--", 2) == 0))
            return false;
        return TakeValue(strOut);
    }

private:
    const int m_nArgc;
    const char* const* m_ppArgv;
    int m_nIndex = 0;
    std::string m_strName;
    std::string m_strValue;
    bool m_bInline = false;
};

// An action's name: false when it is not one; strError set when it clashes.
bool TakeAction(CArgCursor& cur, CExtcapArgs& args, std::string& strError)
{
    for (const CActionName& action : ACTIONS) {
        if (cur.Name() != action.m_pszName)
            continue;
        if (args.m_eAction != EExtcapAction::None && args.m_eAction != action.m_eAction) {
            strError = "one action at a time: " + cur.Name() + " comes after another";
            return true;
        }
        args.m_eAction = action.m_eAction;
        if (action.m_eAction == EExtcapAction::Install || action.m_eAction == EExtcapAction::Uninstall)
            cur.TakeOptionalValue(args.m_strDir);
        return true;
    }
    return false;
}

// Ours that take a value in the next argument (or after '=').
constexpr const char* WITH_VALUE[] = {
    "--extcap-interface", "--fifo", "--channel", "--stop-wait", "--hop", "--dwell",
    "--extcap-control-in", "--extcap-control-out",
};

// --tap alone (as Wireshark passes a checked flag), or with true / false.
bool TakeTap(CArgCursor& cur, CExtcapArgs& args, std::string& strError)
{
    std::string strValue;
    if (!cur.TakeOptionalValue(strValue) || strValue == "true" || strValue == "1") {
        args.m_bTap = true;
    } else if (strValue == "false" || strValue == "0") {
        args.m_bTap = false;
    } else {
        strError = "--tap takes true or false, not \"" + strValue + "\"";
        return false;
    }
    return true;
}

bool TakeHop(const std::string& strValue, CExtcapArgs& args, std::string& strError)
{
    std::string strWhy;
    if (!ParseChannelList(strValue, args.m_vecHop, strWhy)) {
        strError = "--hop: " + strWhy;
        return false;
    }
    return true;
}

bool TakeValueOf(const std::string& strName, const std::string& strValue, CExtcapArgs& args, std::string& strError)
{
    if (strName == "--extcap-interface") {
        args.m_strInterface = strValue;
    } else if (strName == "--fifo") {
        args.m_strFifo = strValue;
    } else if (strName == "--extcap-control-in") {
        args.m_strControlIn = strValue;
    } else if (strName == "--extcap-control-out") {
        args.m_strControlOut = strValue;
    } else if (strName == "--hop") {
        args.m_vecHop.clear();   // empty: no hopping
        return strValue.empty() || TakeHop(strValue, args, strError);
    } else if (strName == "--dwell") {
        return ParseSeconds(strValue, CHANNEL_DWELL_MIN_MS, CHANNEL_DWELL_MAX_MS, "--dwell", args.m_dwDwellMs,
            strError);
    } else if (strName == "--channel") {
        if (!ParseExtcapChannel(strValue, args.m_nChannel)) {
            strError = "--channel takes a channel from 11 to 26, not \"" + strValue + "\"";
            return false;
        }
    } else if (!ParseStopWait(strValue, args.m_dwStopWaitMs)) {
        strError = "--stop-wait takes milliseconds from 1 to 600000, not \"" + strValue + "\"";
        return false;
    }
    return true;
}

// Any other option; false with strError for a missing or malformed value.
bool TakeOption(CArgCursor& cur, CExtcapArgs& args, std::string& strError)
{
    const std::string strName = cur.Name();
    std::string strValue;
    if (strName == "--tap")
        return TakeTap(cur, args, strError);
    bool bOurs = false;
    for (const char* pszOurs : WITH_VALUE) {
        if (strName == pszOurs)
            bOurs = true;
    }
    if (!bOurs) {
        // An option of Wireshark's that we do not use, with its value; or
        // one of a newer Wireshark: passed over.
        for (const char* pszSkipped : SKIPPED_WITH_VALUE) {
            if (strName == pszSkipped)
                cur.TakeOptionalValue(strValue);
        }
        return true;
    }
    if (!cur.TakeValue(strValue)) {
        strError = strName + " needs a value";
        return false;
    }
    return TakeValueOf(strName, strValue, args, strError);
}

} // namespace

CExtcapArgs::CExtcapArgs() : m_dwDwellMs(CHANNEL_DWELL_DEFAULT_MS)
{
}

bool ParseExtcapChannel(const std::string& strText, int32_t& nChannel)
{
    if (strText.size() != 2)
        return false;
    int32_t n = 0;
    for (char ch : strText) {
        if (ch < '0' || ch > '9')
            return false;
        n = n * 10 + (ch - '0');
    }
    if (!IsValidChannel(n))
        return false;
    nChannel = n;
    return true;
}

bool ParseExtcapArgs(int argc, const char* const* argv, CExtcapArgs& args, std::string& strError)
{
    args = CExtcapArgs();
    strError.clear();
    CArgCursor cur(argc, argv);
    while (cur.Next()) {
        if (TakeAction(cur, args, strError)) {
            if (!strError.empty())
                return false;
            continue;
        }
        if (!TakeOption(cur, args, strError))
            return false;
    }
    // A hop of one channel stays there; a hopping capture must say on every
    // frame which channel it came from.
    if (args.m_vecHop.size() == 1)
        args.m_nChannel = args.m_vecHop.front();
    if (args.Hops())
        args.m_bTap = true;
    return true;
}

const char* ExtcapUsageText()
{
    return "Usage: quillmark-extcap --install [DIR] | --uninstall [DIR]\n"
           "Wireshark's extcap program for Quillmark's IEEE 802.15.4 sniffer dongles:\n"
           "each dongle found shows in Wireshark's interface list, with its channel\n"
           "among the interface's options.\n"
           "\n"
           "  --install [DIR]    link (Windows: copy) this program into Wireshark's extcap\n"
           "                     folder, or into DIR\n"
           "  --uninstall [DIR]  remove what --install put there\n"
           "  --help             this text\n"
           "\n"
           "What Wireshark runs:\n"
           "  --extcap-interfaces\n"
           "  --extcap-dlts --extcap-interface IF\n"
           "  --extcap-config --extcap-interface IF\n"
           "  --capture --extcap-interface IF --fifo PATH [--channel 11..26]\n"
           "            [--hop LIST]      go round the channels of LIST (\"11-26\", \"11,15,20\");\n"
           "                              a hopping capture has the channel on every frame\n"
           "            [--dwell SECONDS] on each channel of the hop (default 2)\n"
           "            [--tap]           the channel on every frame (IEEE 802.15.4 TAP, 283)\n"
           "            [--extcap-control-in PIPE --extcap-control-out PIPE]\n"
           "                              the interface toolbar: retune, status, log\n"
           "            [--stop-wait MS]  after SIGTERM, leave when the capture has not\n"
           "                              ended within MS (default 3000)\n";
}
