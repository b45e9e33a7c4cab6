#include "shell/cli/cli_options.h"

#include <cstring>

#include "serial/port_names.h"
#include "engine/channel_plan.h"
#include "engine/channels.h"

namespace {

constexpr uint64_t COUNT_MAX = 1000000000000ull;
constexpr uint64_t SECONDS_MAX = 100u * 365u * 24u * 3600u;
const char DURATION_PREFIX[] = "duration:";

const char s_szUsage[] =
    "Usage: quillmark-capture [--port COMn|N|/dev/node] [--channel 11..26]\n"
    "                         [-w FILE|-w -] [--overwrite] [-c COUNT]\n"
    "                         [-a duration:SECONDS] [--hop LIST [--dwell S]] [--tap]\n"
    "                         [--resume-wait S] [-q] [--help] [--version]\n"
    "       quillmark-capture --survey [--channels LIST] [--dwell S] [--sweeps N]\n"
    "                         [--port P]\n"
    "Captures IEEE 802.15.4 frames from the sniffer dongle into a pcap file\n"
    "(link type 195) without a window, or surveys the channels for networks.\n"
    "\n"
    "  --port P       the dongle's port: COMn, its number n (1..255), or a device\n"
    "                 node such as /dev/ttyACM0 (default: the stored port)\n"
    "  --channel C    the channel to sniff, 11..26 (default: the stored channel)\n"
    "  -w FILE        write the capture to FILE; an existing FILE is never\n"
    "                 replaced unless --overwrite is given\n"
    "  -w -           write the capture to standard output (a pipe or a file,\n"
    "                 never a terminal); without -w this is the default\n"
    "  --overwrite    let -w FILE replace an existing file\n"
    "  -c COUNT       stop after COUNT frames\n"
    "  -a duration:S  stop after S seconds of capture\n"
    "  --hop LIST     hop over the channels of LIST (such as 11-26 or 11,15,20-25),\n"
    "                 the dwell on each; the records carry their channel (--tap)\n"
    "  --dwell S      seconds on each channel when hopping or surveying (default 2)\n"
    "  --tap          records with an IEEE 802.15.4 TAP header that carries the\n"
    "                 channel (link type 283) instead of link type 195\n"
    "  --resume-wait S  when the dongle goes away, wait up to S seconds for its port\n"
    "                 to come back and go on into the same output (default 30;\n"
    "                 0: the capture ends at once)\n"
    "  --survey       visit the channels and print, for each, one line: the channel,\n"
    "                 frames, bytes, beacons, PAN IDs and extended PAN IDs heard\n"
    "  --channels LIST  the channels to survey (default 11-26)\n"
    "  --sweeps N     survey the channels N times, the counts added up (default 1)\n"
    "  -q             no progress line and no summary; messages only on failure\n"
    "  --help         this text\n"
    "  --version      the program's version\n"
    "\n"
    "Ctrl-C, SIGTERM or SIGHUP stop the capture: the dongle gets the stop command\n"
    "and the file is closed as a valid pcap. A second Ctrl-C leaves at once.\n"
    "Messages and, when standard error is a terminal, a progress line (frames,\n"
    "bytes, lost) go to standard error. The stored port and channel are those of\n"
    "the Quillmark dialog (Quillmark.ini).\n"
    "\n"
    "Exit codes:\n"
    "  0  stopped, or the count or duration reached\n"
    "  1  the port could not be opened (missing, in use, permission denied)\n"
    "  2  bad command line\n"
    "  3  the dongle did not answer\n"
    "  4  the output could not be opened or written (exists, reader gone, disk full)\n"
    "  5  the dongle went away during the capture and did not come back in time\n"
    "  130  left at once on a second Ctrl-C\n";

// Decimal digits only, 1..qwMax; false otherwise.
bool ParseCount(const char* psz, uint64_t qwMax, uint64_t& qwOut)
{
    if (psz == nullptr || *psz == '\0')
        return false;
    uint64_t qw = 0;
    for (; *psz != '\0'; ++psz) {
        if (*psz < '0' || *psz > '9')
            return false;
        qw = qw * 10 + static_cast<uint64_t>(*psz - '0');
        if (qw > qwMax)
            return false;
    }
    if (qw == 0)
        return false;
    qwOut = qw;
    return true;
}

bool ParsePort(const std::string& strValue, CCliOptions& opts, std::string& strError)
{
    uint64_t qwPort = 0;
    if (!strValue.empty() && strValue[0] == '/') {
        opts.m_strDevice = strValue;
    } else if (ComPortFromName(strValue.c_str()) != 0) {
        opts.m_nPort = ComPortFromName(strValue.c_str());
    } else if (ParseCount(strValue.c_str(), COM_PORT_MAX, qwPort)) {
        opts.m_nPort = static_cast<int32_t>(qwPort);
    } else {
        strError = "--port: '" + strValue + "' is not COM1..COM255, a number 1..255 or a device path";
        return false;
    }
    opts.m_bPortGiven = true;
    return true;
}

bool ParseChannel(const std::string& strValue, CCliOptions& opts, std::string& strError)
{
    uint64_t qwChannel = 0;
    if (!ParseCount(strValue.c_str(), CHANNEL_LAST, qwChannel) || qwChannel < static_cast<uint64_t>(CHANNEL_FIRST)) {
        strError = "--channel: '" + strValue + "' is not a channel 11..26";
        return false;
    }
    opts.m_nChannel = static_cast<int32_t>(qwChannel);
    opts.m_bChannelGiven = true;
    return true;
}

bool ParseAutostop(const std::string& strValue, CCliOptions& opts, std::string& strError)
{
    uint64_t qwSeconds = 0;
    if (strValue.rfind(DURATION_PREFIX, 0) != 0
        || !ParseCount(strValue.c_str() + std::strlen(DURATION_PREFIX), SECONDS_MAX, qwSeconds)) {
        strError = "-a: '" + strValue + "' is not duration:SECONDS with whole seconds from 1";
        return false;
    }
    opts.m_dwSeconds = static_cast<uint32_t>(qwSeconds);
    return true;
}

bool ParseChannels(const std::string& strName, const std::string& strValue, CCliOptions& opts,
    std::string& strError)
{
    if (!ParseChannelList(strValue, opts.m_vecChannels, strError)) {
        strError = strName + ": " + strError;
        return false;
    }
    return true;
}

bool ParseSweeps(const std::string& strValue, CCliOptions& opts, std::string& strError)
{
    uint64_t qwSweeps = 0;
    if (!ParseCount(strValue.c_str(), SURVEY_SWEEPS_MAX, qwSweeps)) {
        strError = "--sweeps: '" + strValue + "' is not a number from 1 to " + std::to_string(SURVEY_SWEEPS_MAX);
        return false;
    }
    opts.m_dwSweeps = static_cast<uint32_t>(qwSweeps);
    return true;
}

// Options that only make sense together, or not at all.
bool CheckCombination(const CCliOptions& opts, std::string& strError)
{
    if (opts.m_bSurvey && (opts.m_bHop || opts.m_bOutputGiven || opts.m_bTap || opts.m_qwCount != 0
        || opts.m_dwSeconds != 0 || opts.m_bChannelGiven)) {
        strError = "--survey writes no capture: it takes --channels, --dwell, --sweeps and --port only";
        return false;
    }
    if (!opts.m_bSurvey && !opts.m_bHop && (opts.m_bDwellGiven || !opts.m_vecChannels.empty())) {
        strError = "--dwell goes with --hop or --survey; --channels with --survey";
        return false;
    }
    if (opts.m_bHop && opts.m_bChannelGiven) {
        strError = "--hop and --channel: give the channels to hop over with --hop only";
        return false;
    }
    return true;
}

// The value of an option: "--name=value", or the next argument.
class CArgs {
public:
    CArgs(int argc, const char* const* argv) : m_argc(argc), m_argv(argv) {}
    bool Next() { return ++m_i < m_argc; }
    // Splits "--name=value"; a short option takes its value from the next argument.
    std::string Name()
    {
        const std::string strArg = m_argv[m_i];
        const size_t nEq = strArg.find('=');
        m_bInline = strArg.rfind("--", 0) == 0 && nEq != std::string::npos;
        m_strInline = m_bInline ? strArg.substr(nEq + 1) : std::string();
        return m_bInline ? strArg.substr(0, nEq) : strArg;
    }
    bool Value(const std::string& strName, std::string& strValue, std::string& strError)
    {
        if (m_bInline) {
            strValue = m_strInline;
            return true;
        }
        if (m_i + 1 >= m_argc) {
            strError = strName + " needs a value";
            return false;
        }
        strValue = m_argv[++m_i];
        return true;
    }
    bool HadValue() const { return m_bInline; }

private:
    int m_argc;
    const char* const* m_argv;
    int m_i = 0;
    bool m_bInline = false;
    std::string m_strInline;
};

bool TakeOption(CArgs& args, CCliOptions& opts, std::string& strError)
{
    const std::string strName = args.Name();
    std::string strValue;
    if (strName == "--help" || strName == "-h")
        opts.m_bHelp = true;
    else if (strName == "--version")
        opts.m_bVersion = true;
    else if (strName == "--overwrite")
        opts.m_bOverwrite = true;
    else if (strName == "-q")
        opts.m_bQuiet = true;
    else if (strName == "--survey")
        opts.m_bSurvey = true;
    else if (strName == "--tap")
        opts.m_bTap = true;
    else if (strName == "--hop") {
        opts.m_bHop = true;
        return args.Value(strName, strValue, strError) && ParseChannels(strName, strValue, opts, strError);
    } else if (strName == "--channels")
        return args.Value(strName, strValue, strError) && ParseChannels(strName, strValue, opts, strError);
    else if (strName == "--sweeps")
        return args.Value(strName, strValue, strError) && ParseSweeps(strValue, opts, strError);
    else if (strName == "--dwell") {
        opts.m_bDwellGiven = true;
        return args.Value(strName, strValue, strError)
            && ParseSeconds(strValue, CHANNEL_DWELL_MIN_MS, CHANNEL_DWELL_MAX_MS, "--dwell", opts.m_dwDwellMs, strError);
    } else if (strName == "--resume-wait") {
        opts.m_bResumeWaitGiven = true;
        return args.Value(strName, strValue, strError)
            && ParseSeconds(strValue, 0, RESUME_WAIT_MAX_MS, "--resume-wait", opts.m_dwResumeWaitMs, strError);
    }
    else if (strName == "--port")
        return args.Value(strName, strValue, strError) && ParsePort(strValue, opts, strError);
    else if (strName == "--channel")
        return args.Value(strName, strValue, strError) && ParseChannel(strValue, opts, strError);
    else if (strName == "-a")
        return args.Value(strName, strValue, strError) && ParseAutostop(strValue, opts, strError);
    else if (strName == "-w") {
        if (!args.Value(strName, strValue, strError))
            return false;
        if (strValue.empty()) {
            strError = "-w needs a file name, or - for standard output";
            return false;
        }
        opts.m_strOutput = strValue;
        opts.m_bOutputGiven = true;
    } else if (strName == "-c") {
        if (!args.Value(strName, strValue, strError))
            return false;
        if (!ParseCount(strValue.c_str(), COUNT_MAX, opts.m_qwCount)) {
            strError = "-c: '" + strValue + "' is not a frame count from 1";
            return false;
        }
    } else {
        strError = strName.size() > 1 && strName[0] == '-' ? "unknown option " + strName
                                                             : "unexpected argument '" + strName + "'";
        return false;
    }
    if (args.HadValue()) {
        strError = strName + " takes no value";
        return false;
    }
    return true;
}

} // namespace

bool ParseCliOptions(int argc, const char* const* argv, CCliOptions& opts, std::string& strError)
{
    CArgs args(argc, argv);
    while (args.Next()) {
        if (!TakeOption(args, opts, strError))
            return false;
    }
    return CheckCombination(opts, strError);
}

const char* CliUsageText()
{
    return s_szUsage;
}
