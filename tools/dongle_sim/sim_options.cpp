#include "tools/dongle_sim/sim_options.h"

#include <cerrno>
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
    "  --sent-pcap FILE   write every MAC frame sent to FILE (pcap, link type 195)\n"
    "  --no-ack           never acknowledge a command (commands still act)\n"
    "  --ack-delay MS     acknowledge each command MS milliseconds late\n"
    "  --garbage          put stray bytes (never the 00 01 sync pair) between frames\n"
    "  --hangup-after N   after N frames, close the line and exit\n"
    "  --seed N           seed for traffic, garbage and signal values (default 1)\n"
    "  --help             this text\n"
    "\n"
    "Prints \"ready <device>\" once the port is published and a \"summary ...\"\n"
    "line when it ends (SIGINT/SIGTERM, or after a hang-up); logs every command\n"
    "received on stderr.\n";

const char* SimUsageText()
{
    return s_szUsage;
}

static bool ParseInt64(const char* psz, int64_t nMin, int64_t nMax, int64_t& nOut)
{
    if (psz == nullptr || *psz == '\0')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    const long long n = std::strtoll(psz, &pEnd, 10);
    if (errno != 0 || pEnd == psz || *pEnd != '\0' || n < nMin || n > nMax)
        return false;
    nOut = n;
    return true;
}

static bool ParseRate(const char* psz, double& dOut)
{
    if (psz == nullptr || *psz == '\0')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    const double d = std::strtod(psz, &pEnd);
    if (errno != 0 || pEnd == psz || *pEnd != '\0' || !std::isfinite(d) || d <= 0.0 || d > SIM_MAX_RATE)
        return false;
    dOut = d;
    return true;
}

namespace {
struct CArgCursor {
    int m_nArgc;
    const char* const* m_ppArgv;
    int m_nIndex;
    const char* m_pszInlineValue;   // the part after '=' in --name=value
};
}

// The value of the option at the cursor: inline after '=' or the next argument.
static const char* TakeValue(CArgCursor& cur)
{
    if (cur.m_pszInlineValue != nullptr)
        return cur.m_pszInlineValue;
    if (cur.m_nIndex + 1 >= cur.m_nArgc)
        return nullptr;
    ++cur.m_nIndex;
    return cur.m_ppArgv[cur.m_nIndex];
}

bool ParseSimOptions(int argc, const char* const* argv, CSimOptions& opts, std::string& strError)
{
    bool bRateGiven = false;
    CArgCursor cur{argc, argv, 1, nullptr};
    for (; cur.m_nIndex < argc; ++cur.m_nIndex) {
        std::string strArg = argv[cur.m_nIndex];
        std::string strName = strArg;
        cur.m_pszInlineValue = nullptr;
        const size_t nEq = strArg.find('=');
        if (strArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            strName = strArg.substr(0, nEq);
            cur.m_pszInlineValue = argv[cur.m_nIndex] + nEq + 1;
        }
        auto needValue = [&](const char*& pszValue) {
            pszValue = TakeValue(cur);
            if (pszValue == nullptr)
                strError = strName + " needs a value";
            return pszValue != nullptr;
        };
        auto takeCount = [&](int64_t nMin, int64_t nMax, int64_t& nOut) {
            const char* pszValue = nullptr;
            if (!needValue(pszValue))
                return false;
            if (!ParseInt64(pszValue, nMin, nMax, nOut)) {
                strError = strName + ": '" + pszValue + "' is not a number from " +
                    std::to_string(nMin) + " to " + std::to_string(nMax);
                return false;
            }
            return true;
        };
        auto noValue = [&]() {
            if (cur.m_pszInlineValue != nullptr) {
                strError = strName + " takes no value";
                return false;
            }
            return true;
        };

        int64_t n = 0;
        const char* pszValue = nullptr;
        if (strName == "--help" || strName == "-h") {
            opts.m_bHelp = true;
        } else if (strName == "--port") {
            if (!takeCount(1, 255, n))
                return false;
            opts.m_nPort = static_cast<int32_t>(n);
        } else if (strName == "--ports-dir") {
            if (!needValue(pszValue))
                return false;
            if (*pszValue == '\0') {
                strError = "--ports-dir needs a directory";
                return false;
            }
            opts.m_strPortsDir = pszValue;
        } else if (strName == "--rate") {
            if (!needValue(pszValue))
                return false;
            if (!ParseRate(pszValue, opts.m_dRate)) {
                strError = std::string("--rate: '") + pszValue + "' is not a rate above 0 and up to 1000000";
                return false;
            }
            bRateGiven = true;
        } else if (strName == "--line-rate") {
            if (!noValue())
                return false;
            opts.m_bLineRate = true;
        } else if (strName == "--burst") {
            if (!takeCount(0, INT32_MAX, opts.m_nBurst))
                return false;
        } else if (strName == "--frames") {
            if (!takeCount(0, INT64_MAX / 2, opts.m_nFrames))
                return false;
        } else if (strName == "--no-ack") {
            if (!noValue())
                return false;
            opts.m_bNoAck = true;
        } else if (strName == "--ack-delay") {
            if (!takeCount(0, SIM_MAX_ACK_DELAY_MS, n))
                return false;
            opts.m_nAckDelayMs = static_cast<int32_t>(n);
        } else if (strName == "--garbage") {
            if (!noValue())
                return false;
            opts.m_bGarbage = true;
        } else if (strName == "--hangup-after") {
            if (!takeCount(0, INT64_MAX / 2, opts.m_nHangupAfter))
                return false;
        } else if (strName == "--replay") {
            if (!needValue(pszValue))
                return false;
            opts.m_strReplay = pszValue;
        } else if (strName == "--sent-pcap") {
            if (!needValue(pszValue))
                return false;
            opts.m_strSentPcap = pszValue;
        } else if (strName == "--seed") {
            if (!takeCount(0, UINT32_MAX, n))
                return false;
            opts.m_dwSeed = static_cast<uint32_t>(n);
        } else {
            strError = "unknown option '" + strArg + "' (see --help)";
            return false;
        }
    }
    if (bRateGiven && opts.m_bLineRate) {
        strError = "--rate and --line-rate exclude each other";
        return false;
    }
    if (opts.m_bNoAck && opts.m_nAckDelayMs > 0) {
        strError = "--no-ack and --ack-delay exclude each other";
        return false;
    }
    return true;
}
