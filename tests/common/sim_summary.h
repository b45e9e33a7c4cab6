// The simulated dongle's "summary key=value ..." line, which it prints on
// standard output when it ends.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

// The numbers of the summary line in strOut; empty when there is none.
inline std::map<std::string, uint64_t> ParseSimSummary(const std::string& strOut)
{
    std::map<std::string, uint64_t> mapOut;
    const size_t nPos = strOut.find("summary ");
    if (nPos == std::string::npos)
        return mapOut;
    std::istringstream in(strOut.substr(nPos + 8, strOut.find('\n', nPos) - nPos - 8));
    std::string strPair;
    while (in >> strPair) {
        const size_t nEq = strPair.find('=');
        if (nEq != std::string::npos)
            mapOut[strPair.substr(0, nEq)] = std::strtoull(strPair.c_str() + nEq + 1, nullptr, 10);
    }
    return mapOut;
}
