#include "devices/device_discovery.h"

#include <cstring>

namespace {

bool IsAtoiSpace(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// atoi's reading of pszText, except that a value beyond 255 in magnitude is
// reported as 256 (or -256) instead of overflowing.
int32_t ReadLikeAtoi(const char* pszText)
{
    const char* p = pszText;
    while (IsAtoiSpace(*p))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') {
        bNegative = (*p == '-');
        ++p;
    }
    int32_t nValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > DEVICE_PORT_MAX) {
            nValue = DEVICE_PORT_MAX + 1;
            break;
        }
    }
    return bNegative ? -nValue : nValue;
}

} // namespace

int32_t PortNumberFromFriendlyName(const char* pszName)
{
    if (pszName == nullptr || pszName[0] == '\0')
        return 0;
    // A name that does not fit the name buffer is never read in whole.
    if (std::strlen(pszName) >= static_cast<size_t>(DEVICE_NAME_SIZE))
        return 0;
    const char* pszCom = std::strstr(pszName, "COM");
    if (pszCom == nullptr)
        return 0;
    int32_t nPort = ReadLikeAtoi(pszCom + 3);
    if (nPort < DEVICE_PORT_MIN || nPort > DEVICE_PORT_MAX)
        return 0;
    return nPort;
}

std::string MakeFriendlyName(const char* pszDescription, const char* pszDevNode, int32_t nPort)
{
    std::string strName = (pszDescription != nullptr && pszDescription[0] != '\0')
        ? pszDescription : "Serial port";
    strName += " on ";
    strName += pszDevNode != nullptr ? pszDevNode : "";
    strName += " (COM";
    strName += std::to_string(nPort);
    strName += ")";
    return strName;
}

int32_t PortNumberFromLinkName(const char* pszName)
{
    if (pszName == nullptr || std::strncmp(pszName, "com", 3) != 0)
        return 0;
    const char* pDigits = pszName + 3;
    size_t nDigits = std::strlen(pDigits);
    if (nDigits == 0 || nDigits > 3 || pDigits[0] == '0')
        return 0;
    int32_t nPort = 0;
    for (size_t i = 0; i < nDigits; ++i) {
        if (pDigits[i] < '0' || pDigits[i] > '9')
            return 0;
        nPort = nPort * 10 + (pDigits[i] - '0');
    }
    return nPort <= DEVICE_PORT_MAX ? nPort : 0;
}
