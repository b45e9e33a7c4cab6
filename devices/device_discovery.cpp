#include "devices/device_discovery.h"

#include "serial/port_names.h"

#include <cstring>

int32_t PortNumberFromFriendlyName(const char* pszName)
{
    if (pszName == nullptr || pszName[0] == '\0')
        return 0;
    // A name that does not fit the name buffer is never read in whole.
    const size_t nLen = std::strlen(pszName);
    if (nLen >= static_cast<size_t>(DEVICE_NAME_SIZE))
        return 0;
    for (size_t nAt = nLen; nAt >= 4; --nAt) {
        const char* pDigits = pszName + nAt - 1;
        if (*pDigits < '0' || *pDigits > '9' || std::strncmp(pDigits - 3, "COM", 3) != 0)
            continue;
        // The last "COM" with a digit after it: its whole run of digits.
        if (*pDigits == '0')
            return 0;
        int32_t nPort = 0;
        for (const char* p = pDigits; *p >= '0' && *p <= '9'; ++p) {
            nPort = nPort * 10 + (*p - '0');
            if (nPort > DEVICE_PORT_MAX)
                return 0;
        }
        return nPort >= DEVICE_PORT_MIN ? nPort : 0;
    }
    return 0;
}

int32_t PortNumberOfPortsDevice(const char* pszPortName, const char* pszFriendlyName)
{
    const int32_t nPort = pszPortName != nullptr ? ComPortFromName(pszPortName) : 0;
    return nPort != 0 ? nPort : PortNumberFromFriendlyName(pszFriendlyName);
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
