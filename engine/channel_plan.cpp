#include "engine/channel_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/channels.h"
#include "engine/tuning_texts.h"

namespace {

bool ParseChannel(const std::string& str, int32_t& nOut)
{
    if (str.empty() || str.size() > 2 || !std::all_of(str.begin(), str.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    nOut = std::atoi(str.c_str());
    return IsValidChannel(nOut);
}

std::string Trim(const std::string& str)
{
    const size_t nFirst = str.find_first_not_of(" \t");
    if (nFirst == std::string::npos)
        return std::string();
    return str.substr(nFirst, str.find_last_not_of(" \t") - nFirst + 1);
}

// One item of the list: "15" or "15-18" (a run that may also go down).
bool ParseItem(const std::string& strItem, std::vector<int32_t>& vecOut, std::string& strError)
{
    const size_t nDash = strItem.find('-');
    int32_t nFrom = 0;
    int32_t nTo = 0;
    const bool bOk = nDash == std::string::npos
        ? ParseChannel(strItem, nFrom) && ParseChannel(strItem, nTo)
        : ParseChannel(Trim(strItem.substr(0, nDash)), nFrom) && ParseChannel(Trim(strItem.substr(nDash + 1)), nTo);
    if (!bOk) {
        strError = "'" + strItem + "' is not a channel from 11 to 26 or a range such as 11-26";
        return false;
    }
    const int32_t nStep = nFrom <= nTo ? 1 : -1;
    for (int32_t n = nFrom;; n += nStep) {
        if (std::find(vecOut.begin(), vecOut.end(), n) != vecOut.end()) {
            strError = "channel " + std::to_string(n) + " is listed twice";
            return false;
        }
        vecOut.push_back(n);
        if (n == nTo)
            break;
    }
    return true;
}

} // namespace

std::vector<int32_t> AllChannels()
{
    std::vector<int32_t> vec;
    for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n)
        vec.push_back(n);
    return vec;
}

bool ParseChannelList(const std::string& strList, std::vector<int32_t>& vecOut, std::string& strError)
{
    std::vector<int32_t> vec;
    size_t nAt = 0;
    while (nAt <= strList.size()) {
        const size_t nComma = std::min(strList.find(',', nAt), strList.size());
        if (!ParseItem(Trim(strList.substr(nAt, nComma - nAt)), vec, strError))
            return false;
        nAt = nComma + 1;
    }
    vecOut = vec;
    return true;
}

std::string FormatChannelList(const std::vector<int32_t>& vecChannels)
{
    std::string str;
    for (size_t i = 0; i < vecChannels.size();) {
        size_t j = i;
        while (j + 1 < vecChannels.size() && vecChannels[j + 1] == vecChannels[j] + 1)
            ++j;
        if (!str.empty())
            str += ',';
        str += std::to_string(vecChannels[i]);
        if (j > i)
            str += '-' + std::to_string(vecChannels[j]);
        i = j + 1;
    }
    return str;
}

bool ParseSeconds(const std::string& strValue, uint32_t dwMinMs, uint32_t dwMaxMs, const char* pszWhat,
    uint32_t& dwOutMs, std::string& strError)
{
    char* pEnd = nullptr;
    const double d = std::strtod(strValue.c_str(), &pEnd);
    const double dMs = d * 1000.0;
    if (strValue.empty() || pEnd == nullptr || *pEnd != '\0' || !std::isfinite(d) || dMs < dwMinMs - 0.5
        || dMs > dwMaxMs + 0.5) {
        strError = std::string(pszWhat) + ": '" + strValue + "' is not a number of seconds from "
            + SecondsText(dwMinMs) + " to " + SecondsText(dwMaxMs);
        return false;
    }
    dwOutMs = static_cast<uint32_t>(std::lround(dMs));
    return true;
}
