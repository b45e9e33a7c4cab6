#include "tools/dongle_sim/sim_network.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "tools/dongle_sim/sim_traffic.h"

// A number as "0x1a62" (hex) or "6754" (decimal): digits only, no sign, no
// blanks, at most qwMax.
static bool ParseUnsigned(const std::string& str, uint64_t qwMax, uint64_t& qwOut)
{
    const bool bHex = str.size() > 2 && str[0] == '0' && (str[1] == 'x' || str[1] == 'X');
    const std::string strDigits = bHex ? str.substr(2) : str;
    if (strDigits.empty())
        return false;
    for (const char c : strDigits) {
        const bool bDigit = c >= '0' && c <= '9';
        const bool bHexLetter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!bDigit && !(bHex && bHexLetter))
            return false;
    }
    errno = 0;
    const unsigned long long qw = std::strtoull(strDigits.c_str(), nullptr, bHex ? 16 : 10);
    if (errno == ERANGE || qw > qwMax)
        return false;
    qwOut = qw;
    return true;
}

uint64_t SimDefaultExtPanId(int32_t nChannel, uint16_t wPanId)
{
    return SIM_EXT_PAN_BASE | (static_cast<uint64_t>(nChannel & 0xFF) << 16) | wPanId;
}

bool ParseSimNetwork(const char* pszText, CSimNetwork& net, std::string& strError)
{
    const std::string strText = pszText;
    const std::string strWhat = std::string("--network '") + strText + "': ";
    const size_t nColon = strText.find(':');
    if (nColon == std::string::npos) {
        strError = strWhat + "not CH:PAN[:EXTPAN] (e.g. 15:0x1a62)";
        return false;
    }
    const size_t nColon2 = strText.find(':', nColon + 1);
    const std::string strChannel = strText.substr(0, nColon);
    const std::string strPan = strText.substr(nColon + 1, nColon2 == std::string::npos ? std::string::npos
                                                                                         : nColon2 - nColon - 1);
    uint64_t qwChannel = 0;
    if (!ParseUnsigned(strChannel, SIM_LAST_CHANNEL, qwChannel) || qwChannel < SIM_FIRST_CHANNEL) {
        strError = strWhat + "channel '" + strChannel + "' is not one of 11..26";
        return false;
    }
    uint64_t qwPan = 0;
    if (!ParseUnsigned(strPan, SIM_MAX_PAN_ID, qwPan)) {
        strError = strWhat + "PAN ID '" + strPan + "' is not a number from 0 to 0xfffe";
        return false;
    }
    net.m_nChannel = static_cast<int32_t>(qwChannel);
    net.m_wPanId = static_cast<uint16_t>(qwPan);
    net.m_qwExtPanId = SimDefaultExtPanId(net.m_nChannel, net.m_wPanId);
    if (nColon2 == std::string::npos)
        return true;
    // 0 and all ones are no network's extended PAN ID.
    const std::string strExt = strText.substr(nColon2 + 1);
    uint64_t qwExt = 0;
    if (!ParseUnsigned(strExt, UINT64_MAX - 1, qwExt) || qwExt == 0) {
        strError = strWhat + "extended PAN ID '" + strExt + "' is not a 64-bit number other than 0 and all ones";
        return false;
    }
    net.m_qwExtPanId = qwExt;
    return true;
}

std::string FormatSimNetwork(const CSimNetwork& net)
{
    char sz[96];
    std::snprintf(sz, sizeof sz, "network on channel %d: PAN 0x%04x, extended PAN 0x%016" PRIx64, net.m_nChannel,
                  net.m_wPanId, net.m_qwExtPanId);
    return sz;
}

std::string DescribeSimChannel(const std::vector<CSimNetwork>& vecNetworks, int32_t nChannel)
{
    std::string strPans;
    int32_t nCount = 0;
    for (const CSimNetwork& net : vecNetworks) {
        if (net.m_nChannel != nChannel)
            continue;
        char sz[8];
        std::snprintf(sz, sizeof sz, " 0x%04x", net.m_wPanId);
        strPans += sz;
        ++nCount;
    }
    if (nCount == 0)
        return "no network, silent";
    return (nCount == 1 ? "network" : "networks") + strPans;
}

CSimNetworks::CSimNetworks(const std::vector<CSimNetwork>& vecNetworks, uint32_t dwSeed) : m_dwTurn(0)
{
    for (const CSimNetwork& net : vecNetworks) {
        // Each network its own traffic: its own sequence numbers and readings.
        const uint32_t dwNetSeed = dwSeed ^ (static_cast<uint32_t>(net.m_nChannel) << 16 | net.m_wPanId);
        m_vecHeard.push_back(
            CHeard{net, std::make_unique<CSimTraffic>(dwNetSeed, net.m_wPanId, net.m_qwExtPanId)});
    }
}

CSimNetworks::~CSimNetworks() = default;

bool CSimNetworks::NextPayload(CSimBytes& byOut)
{
    return !m_vecHeard.empty() && m_vecHeard.front().m_pTraffic->NextPayload(byOut);
}

int32_t CSimNetworks::NetworksOn(int32_t nChannel) const
{
    int32_t nCount = 0;
    for (const CHeard& heard : m_vecHeard)
        nCount += heard.m_net.m_nChannel == nChannel ? 1 : 0;
    return nCount;
}

bool CSimNetworks::NextPayloadOn(int32_t nChannel, CSimBytes& byOut, int32_t& nPanId)
{
    nPanId = SIM_PAN_UNKNOWN;
    const int32_t nCount = NetworksOn(nChannel);
    if (nCount == 0)
        return false;
    int32_t nPick = static_cast<int32_t>(m_dwTurn++ % static_cast<uint32_t>(nCount));
    for (CHeard& heard : m_vecHeard) {
        if (heard.m_net.m_nChannel != nChannel || nPick-- > 0)
            continue;
        nPanId = heard.m_net.m_wPanId;
        return heard.m_pTraffic->NextPayload(byOut);
    }
    return false;
}
