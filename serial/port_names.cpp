#include "serial/port_names.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex s_mtxPortsDir;
std::string s_strPortsDir;

} // namespace

void SetPortsDirectory(const char* pszDir)
{
    std::lock_guard<std::mutex> lock(s_mtxPortsDir);
    s_strPortsDir = pszDir != nullptr ? pszDir : "";
}

const char* GetPortsDirectory()
{
    std::lock_guard<std::mutex> lock(s_mtxPortsDir);
    return s_strPortsDir.c_str();
}

std::string CopyPortsDirectory()
{
    std::lock_guard<std::mutex> lock(s_mtxPortsDir);
    return s_strPortsDir;
}

namespace {

struct CFixedRange {
    int32_t m_nFirstPort;
    const char* m_pszPrefix;
};

// COMn in each range maps to <prefix><n - first>.
constexpr CFixedRange FIXED_RANGES[] = {
    { 1, "/dev/ttyS" },
    { 33, "/dev/ttyUSB" },
    { 65, "/dev/ttyACM" },
};
constexpr int32_t FIXED_RANGE_SIZE = 32;

// Decimal digits only, no sign, no leading zeros beyond a lone "0"; -1 otherwise.
int32_t ParseDecimal(const char* psz, int32_t nMax)
{
    if (*psz < '0' || *psz > '9')
        return -1;
    if (psz[0] == '0' && psz[1] != '\0')
        return -1;
    int32_t n = 0;
    for (; *psz != '\0'; ++psz) {
        if (*psz < '0' || *psz > '9')
            return -1;
        n = n * 10 + (*psz - '0');
        if (n > nMax)
            return -1;
    }
    return n;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string FixedRangeDeviceNode(int32_t nPort)
{
    for (const CFixedRange& range : FIXED_RANGES) {
        if (nPort >= range.m_nFirstPort && nPort < range.m_nFirstPort + FIXED_RANGE_SIZE)
            return std::string(range.m_pszPrefix) + std::to_string(nPort - range.m_nFirstPort);
    }
    return std::string();
}

int32_t ComPortFromDeviceNode(const char* pszNode)
{
    if (pszNode == nullptr)
        return 0;
    for (const CFixedRange& range : FIXED_RANGES) {
        const size_t nPrefix = std::strlen(range.m_pszPrefix);
        if (std::strncmp(pszNode, range.m_pszPrefix, nPrefix) != 0)
            continue;
        const int32_t nIndex = ParseDecimal(pszNode + nPrefix, FIXED_RANGE_SIZE - 1);
        return nIndex < 0 ? 0 : range.m_nFirstPort + nIndex;
    }
    return 0;
}

int32_t ComPortFromLinkName(const char* pszName)
{
    if (pszName == nullptr || std::strncmp(pszName, "com", 3) != 0)
        return 0;
    const int32_t nPort = ParseDecimal(pszName + 3, COM_PORT_MAX);
    return nPort < COM_PORT_MIN ? 0 : nPort;
}

int32_t ComPortFromName(const char* pszName)
{
    if (pszName == nullptr)
        return 0;
    if (std::strncmp(pszName, "\\\\.\\", 4) == 0)
        pszName += 4;
    if (LowerAscii(pszName[0]) != 'c' || LowerAscii(pszName[1]) != 'o' || LowerAscii(pszName[2]) != 'm')
        return 0;
    const int32_t nPort = ParseDecimal(pszName + 3, COM_PORT_MAX);
    return nPort < COM_PORT_MIN ? 0 : nPort;
}
