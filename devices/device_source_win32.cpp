// Present serial ports on Windows: the Ports setup class (SetupDi, friendly
// names), plus the ports that HKLM\HARDWARE\DEVICEMAP\SERIALCOMM lists and
// SetupDi did not (virtual ports have no device node; under Wine SetupDi
// lists none at all), named "COMn".
#include "devices/device_source_win32.h"

#include "devices/device_discovery.h"
#include "devices/device_source.h"
#include "base/text_win32.h"

#include <setupapi.h>

#include <algorithm>

namespace {

// The Ports setup class, {4D36E978-E325-11CE-BFC1-08002BE10318}.
constexpr GUID GUID_PORTS_CLASS = { 0x4D36E978, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD REG_NAME_CHARS = 256;

bool HasPort(const std::vector<std::string>& vecNames, int32_t nPort)
{
    return std::any_of(vecNames.begin(), vecNames.end(),
        [nPort](const std::string& strName) { return PortNumberFromFriendlyName(strName.c_str()) == nPort; });
}

// The W call: a friendly name may hold letters the ANSI code page lacks.
std::string FriendlyName(HDEVINFO hDevInfo, SP_DEVINFO_DATA& devInfo)
{
    wchar_t szName[DEVICE_NAME_SIZE] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, &devInfo, SPDRP_FRIENDLYNAME, nullptr,
            reinterpret_cast<BYTE*>(szName), sizeof(szName) - sizeof(wchar_t), nullptr))
        return std::string();
    return Utf8FromWide(szName, wcsnlen(szName, DEVICE_NAME_SIZE - 1));
}

} // namespace

void AddSerialCommPorts(std::vector<std::string>& vecNames, const std::vector<std::string>& vecComNames)
{
    for (const std::string& strCom : vecComNames) {
        const int32_t nPort = PortNumberFromFriendlyName(strCom.c_str());
        if (nPort != 0 && !HasPort(vecNames, nPort))
            vecNames.push_back("COM" + std::to_string(nPort));
    }
}

bool EnumerateSetupDiPorts(std::vector<std::string>& vecNames)
{
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&GUID_PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (hDevInfo == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(hDevInfo, dwIndex, &devInfo); ++dwIndex) {
        std::string strName = FriendlyName(hDevInfo, devInfo);
        if (!strName.empty())
            vecNames.push_back(std::move(strName));
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    return true;
}

bool ReadSerialCommPorts(std::vector<std::string>& vecComNames)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        char szValueName[REG_NAME_CHARS];
        DWORD dwNameLen = REG_NAME_CHARS;
        BYTE abyData[REG_NAME_CHARS] = {};
        DWORD dwDataLen = REG_NAME_CHARS - 1;   // room for a terminator the value may lack
        DWORD dwType = 0;
        const LSTATUS nRes = RegEnumValueA(hKey, dwIndex, szValueName, &dwNameLen, nullptr, &dwType, abyData, &dwDataLen);
        if (nRes != ERROR_SUCCESS && nRes != ERROR_MORE_DATA)
            break;   // the end, or a key that cannot be read on

        if (nRes == ERROR_SUCCESS && dwType == REG_SZ)
            vecComNames.emplace_back(reinterpret_cast<const char*>(abyData));
    }
    RegCloseKey(hKey);
    return true;
}

// Either source is enough: a machine with only virtual ports still lists them.
bool CSystemDeviceSource::EnumeratePresentPorts(std::vector<std::string>& vecNames)
{
    vecNames.clear();
    const bool bSetupDi = EnumerateSetupDiPorts(vecNames);
    std::vector<std::string> vecComNames;
    const bool bSerialComm = ReadSerialCommPorts(vecComNames);
    AddSerialCommPorts(vecNames, vecComNames);
    return bSetupDi || bSerialComm;
}
