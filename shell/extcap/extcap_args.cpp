#include "shell/extcap/extcap_args.h"

#include <cstring>

#include "shell/dlg_ids.h"

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
    "--extcap-capture-filter", "--extcap-control-in", "--extcap-control-out",
    "--extcap-reload-option", "--debug-file", "--extcap-version",
};

bool ParseChannel(const std::string& strText, int32_t& nChannel)
{
    if (strText.empty() || strText.size() > 2)
        return false;
    int32_t n = 0;
    for (char ch : strText) {
        if (ch < '0' || ch > '9')
            return false;
        n = n * 10 + (ch - '0');
    }
    if (n < CHANNEL_FIRST || n > CHANNEL_LAST)
        return false;
    nChannel = n;
    return true;
}

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

} // namespace

bool ParseExtcapArgs(int argc, const char* const* argv, CExtcapArgs& args, std::string& strError)
{
    args = CExtcapArgs();
    for (int i = 1; i < argc; ++i) {
        std::string strName = argv[i];
        std::string strValue;
        bool bInline = false;
        const size_t nEq = strName.find('=');
        if (strName.rfind("--", 0) == 0 && nEq != std::string::npos) {
            strValue = strName.substr(nEq + 1);
            strName.resize(nEq);
            bInline = true;
        }
        // The next argument as this option's value.
        auto takeValue = [&](std::string& strOut) {
            if (bInline) {
                strOut = strValue;
                return true;
            }
            if (i + 1 >= argc) {
                strError = strName + " needs a value";
                return false;
            }
            strOut = argv[++i];
            return true;
        };

        bool bAction = false;
        for (const CActionName& action : ACTIONS) {
            if (strName != action.m_pszName)
                continue;
            bAction = true;
            if (args.m_eAction != EExtcapAction::None && args.m_eAction != action.m_eAction) {
                strError = "one action at a time: " + strName + " comes after another";
                return false;
            }
            args.m_eAction = action.m_eAction;
            const bool bTakesDir = action.m_eAction == EExtcapAction::Install ||
                                   action.m_eAction == EExtcapAction::Uninstall;
            // The folder is optional: a following option is not one.
            if (bTakesDir && bInline)
                args.m_strDir = strValue;
            else if (bTakesDir && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
                args.m_strDir = argv[++i];
        }
        if (bAction)
            continue;

        if (strName == "--extcap-interface") {
            if (!takeValue(args.m_strInterface))
                return false;
        } else if (strName == "--fifo") {
            if (!takeValue(args.m_strFifo))
                return false;
        } else if (strName == "--channel") {
            std::string strChannel;
            if (!takeValue(strChannel))
                return false;
            if (!ParseChannel(strChannel, args.m_nChannel)) {
                strError = "--channel takes a channel from 11 to 26, not \"" + strChannel + "\"";
                return false;
            }
        } else if (strName == "--stop-wait") {
            std::string strMs;
            if (!takeValue(strMs))
                return false;
            if (!ParseStopWait(strMs, args.m_dwStopWaitMs)) {
                strError = "--stop-wait takes milliseconds from 1 to 600000, not \"" + strMs + "\"";
                return false;
            }
        } else {
            for (const char* pszSkipped : SKIPPED_WITH_VALUE) {
                if (strName == pszSkipped && !bInline && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
                    ++i;
            }
            // Anything else is an option of a newer Wireshark: passed over.
        }
    }
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
           "            [--stop-wait MS]  after SIGTERM, leave when the capture has not\n"
           "                              ended within MS (default 3000)\n";
}
