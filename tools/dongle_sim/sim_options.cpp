#include "tools/dongle_sim/sim_options.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

static const char s_szUsage[] =
    "Usage: qm-dongle-sim [options]\n"
    "Behaves as a ZigBee sniffer dongle on a pseudo-terminal published as a\n"
    "port link <ports-dir>/com<N>.\n"
    "\n"
    "  --port N           port number to publish, 1..255 (default 200)\n"
    "  --ports-dir DIR    directory of comN links (default: the ports directory of\n"
    "                     a Quillmark installed beside this program)\n"
    "  --rate FPS         data frames per second while sniffing (default 20)\n"
    "  --line-rate        send frames back to back, paced to 1,000,000 baud\n"
    "  --burst N          after each start, send N frames at once before pacing\n"
    "  --frames N         stop streaming after N frames in all\n"
    "  --replay FILE      replay the frames of a pcap file (link type 195 or 230)\n"
    "                     instead of generated traffic, from the start again at its end\n"
    "  --network CH:PAN[:EXTPAN]\n"
    "                     hold a ZigBee network with PAN ID PAN (0x1a62 or 6754,\n"
    "                     up to 0xfffe) on channel CH (11..26); repeatable. Then only\n"
    "                     those channels carry traffic, each network at --rate, two\n"
    "                     on one channel interleaved; the others are silent. Beacons\n"
    "                     announce EXTPAN, or 0x00124b0000CCPPPP when it is not given\n"
    "                     (CC the channel, PPPP the PAN ID, in hex)\n"
    "  --sent-pcap FILE   write every MAC frame sent to FILE (pcap, link type 195)\n"
    "  --sent-log FILE    write one line per frame sent, in the order of --sent-pcap:\n"
    "                     \"<channel> <PAN ID of its network as 0x1a62, or -> <MAC\n"
    "                     sequence number> <MAC length>\"\n"
    "  --no-ack           never acknowledge a command (commands still act)\n"
    "  --no-stop-ack      acknowledge every command but stop (which still acts)\n"
    "  --ack-delay MS     acknowledge each command MS milliseconds late\n"
    "  --garbage          put stray bytes (never the 00 01 sync pair) between frames\n"
    "  --hangup-after N   after N frames, close the line and exit\n"
    "  --seed N           seed for traffic, garbage and signal values (default 1)\n"
    "  --own-terminal     make the pty our controlling terminal (for a Wine COM port)\n"
    "  --help             this text\n"
    "\n"
    "Prints \"ready <device>\" once the port is published and a \"summary ...\"\n"
    "line when it ends (SIGINT/SIGTERM, or after a hang-up); logs every command\n"
    "received on stderr. With --network it first logs each network as \"network\n"
    "on channel 15: PAN 0x1a62, extended PAN 0x00124b00000f1a62\", and after each\n"
    "set-channel what the channel carries: \"channel 15: network 0x1a62\",\n"
    "\"channel 20: networks 0x7c01 0x0bee\" or \"channel 16: no network, silent\".\n";

const char* SimUsageText()
{
    return s_szUsage;
}

static bool ParseInt64(const char* psz, int64_t nMin, int64_t nMax, int64_t& nOut)
{
    if (psz == nullptr || *psz == '\0')
        return false;
    // Out of range, strtoll gives its extreme values: refused as such.
    char* pEnd = nullptr;
    const long long n = std::strtoll(psz, &pEnd, 10);
    if (pEnd == psz || *pEnd != '\0' || n == LLONG_MIN || n == LLONG_MAX || n < nMin || n > nMax)
        return false;
    nOut = n;
    return true;
}

static bool ParseRate(const char* psz, double& dOut)
{
    if (psz == nullptr || *psz == '\0')
        return false;
    // Out of range, strtod gives infinity or a value near 0: refused below, or
    // (a rate too small to matter) taken as it is.
    char* pEnd = nullptr;
    const double d = std::strtod(psz, &pEnd);
    if (pEnd == psz || *pEnd != '\0' || !std::isfinite(d) || d <= 0.0 || d > SIM_MAX_RATE)
        return false;
    dOut = d;
    return true;
}

namespace {

// The command line one option at a time: its name, and its value inline after
// '=' (--name=value) or in the next argument. Each taker sets the one-line
// reason and returns false when the value is missing or malformed.
class CSimArgs {
public:
    CSimArgs(int argc, const char* const* argv, std::string& strError)
        : m_nArgc(argc), m_ppArgv(argv), m_nIndex(0), m_pszInline(nullptr), m_strError(strError)
    {
    }

    bool Next()
    {
        if (++m_nIndex >= m_nArgc)
            return false;
        m_strArg = m_ppArgv[m_nIndex];
        m_strName = m_strArg;
        m_pszInline = nullptr;
        const size_t nEq = m_strArg.find('=');
        if (m_strArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            m_strName = m_strArg.substr(0, nEq);
            m_pszInline = m_ppArgv[m_nIndex] + nEq + 1;
        }
        return true;
    }
    const std::string& Name() const { return m_strName; }

    bool Fail(const std::string& strWhy)
    {
        m_strError = strWhy;
        return false;
    }
    bool Value(const char*& pszValue)
    {
        pszValue = m_pszInline;
        if (pszValue == nullptr && m_nIndex + 1 < m_nArgc)
            pszValue = m_ppArgv[++m_nIndex];
        return pszValue != nullptr || Fail(m_strName + " needs a value");
    }
    bool Count(int64_t nMin, int64_t nMax, int64_t& nOut)
    {
        const char* pszValue = nullptr;
        if (!Value(pszValue))
            return false;
        return ParseInt64(pszValue, nMin, nMax, nOut)
               || Fail(m_strName + ": '" + pszValue + "' is not a number from " + std::to_string(nMin) + " to "
                       + std::to_string(nMax));
    }
    bool Text(std::string& strOut)
    {
        const char* pszValue = nullptr;
        if (!Value(pszValue))
            return false;
        strOut = pszValue;
        return true;
    }
    bool Flag(bool& bOut)
    {
        if (m_pszInline != nullptr)
            return Fail(m_strName + " takes no value");
        bOut = true;
        return true;
    }
    bool Unknown() { return Fail("unknown option '" + m_strArg + "' (see --help)"); }

private:
    int m_nArgc;
    const char* const* m_ppArgv;
    int m_nIndex;
    const char* m_pszInline;   // the part after '=' in --name=value
    std::string m_strArg;
    std::string m_strName;
    std::string& m_strError;
};

template <typename T>
bool Store(T& out, int64_t n)
{
    out = static_cast<T>(n);
    return true;
}

bool ParseRateOption(CSimArgs& args, CSimOptions& opts, bool& bRateGiven)
{
    const char* pszValue = nullptr;
    if (!args.Value(pszValue))
        return false;
    if (!ParseRate(pszValue, opts.m_dRate))
        return args.Fail(std::string("--rate: '") + pszValue + "' is not a rate above 0 and up to 1000000");
    bRateGiven = true;
    return true;
}

bool ParseNetworkOption(CSimArgs& args, CSimOptions& opts)
{
    const char* pszValue = nullptr;
    if (!args.Value(pszValue))
        return false;
    CSimNetwork net{};
    std::string strWhy;
    if (!ParseSimNetwork(pszValue, net, strWhy))
        return args.Fail(strWhy);
    for (const CSimNetwork& other : opts.m_vecNetworks) {
        if (other.m_nChannel == net.m_nChannel && other.m_wPanId == net.m_wPanId)
            return args.Fail(std::string("--network '") + pszValue + "': that PAN ID is on that channel already");
    }
    opts.m_vecNetworks.push_back(net);
    return true;
}

// The option at the cursor, into opts.
bool ParseOption(CSimArgs& args, CSimOptions& opts, bool& bRateGiven)
{
    const std::string& strName = args.Name();
    int64_t n = 0;
    if (strName == "--help" || strName == "-h")
        return Store(opts.m_bHelp, 1);
    if (strName == "--port")
        return args.Count(1, 255, n) && Store(opts.m_nPort, n);
    if (strName == "--ports-dir")
        return args.Text(opts.m_strPortsDir) && (!opts.m_strPortsDir.empty() || args.Fail("--ports-dir needs a directory"));
    if (strName == "--rate")
        return ParseRateOption(args, opts, bRateGiven);
    if (strName == "--line-rate")
        return args.Flag(opts.m_bLineRate);
    if (strName == "--burst")
        return args.Count(0, INT32_MAX, opts.m_nBurst);
    if (strName == "--frames")
        return args.Count(0, INT64_MAX / 2, opts.m_nFrames);
    if (strName == "--no-ack")
        return args.Flag(opts.m_bNoAck);
    if (strName == "--no-stop-ack")
        return args.Flag(opts.m_bNoStopAck);
    if (strName == "--ack-delay")
        return args.Count(0, SIM_MAX_ACK_DELAY_MS, n) && Store(opts.m_nAckDelayMs, n);
    if (strName == "--garbage")
        return args.Flag(opts.m_bGarbage);
    if (strName == "--hangup-after")
        return args.Count(0, INT64_MAX / 2, opts.m_nHangupAfter);
    if (strName == "--replay")
        return args.Text(opts.m_strReplay);
    if (strName == "--sent-pcap")
        return args.Text(opts.m_strSentPcap);
    if (strName == "--sent-log")
        return args.Text(opts.m_strSentLog);
    if (strName == "--network")
        return ParseNetworkOption(args, opts);
    if (strName == "--own-terminal")
        return args.Flag(opts.m_bOwnTerminal);
    if (strName == "--seed")
        return args.Count(0, UINT32_MAX, n) && Store(opts.m_dwSeed, n);
    return args.Unknown();
}

} // namespace

bool ParseSimOptions(int argc, const char* const* argv, CSimOptions& opts, std::string& strError)
{
    bool bRateGiven = false;
    CSimArgs args(argc, argv, strError);
    while (args.Next()) {
        if (!ParseOption(args, opts, bRateGiven))
            return false;
    }
    if (bRateGiven && opts.m_bLineRate) {
        strError = "--rate and --line-rate exclude each other";
        return false;
    }
    if (!opts.m_vecNetworks.empty() && !opts.m_strReplay.empty()) {
        strError = "--network and --replay exclude each other";
        return false;
    }
    if (opts.m_bNoAck && opts.m_nAckDelayMs > 0) {
        strError = "--no-ack and --ack-delay exclude each other";
        return false;
    }
    return true;
}
