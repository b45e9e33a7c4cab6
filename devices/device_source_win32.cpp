// Present serial ports on Windows: the Ports setup class (SetupDi, friendly
// names, the port from each device's PortName), plus the ports that
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM lists and SetupDi did not (virtual
// ports have no device node; under Wine SetupDi lists none at all), named
// "COMn".
#include "devices/device_source_win32.h"

#include "devices/device_discovery.h"
#include "devices/device_source.h"
#include "base/text_win32.h"

#include <setupapi.h>

#include "serial/port_names.h"

#include <algorithm>

namespace {

// The Ports setup class, {4D36E978-E325-11CE-BFC1-08002BE10318}.
constexpr GUID GUID_PORTS_CLASS = { 0x4D36E978, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD REG_NAME_CHARS = 256;

bool HasPort(const std::vector<CDeviceItem>& vecItems, int32_t nPort)
{
    return std::any_of(vecItems.begin(), vecItems.end(),
        [nPort](const CDeviceItem& item) { return item.m_nPort == nPort; });
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

// The "PortName" value of the device's own registry key ("COM7"); "" when
// it has none.
std::string PortName(HDEVINFO hDevInfo, SP_DEVINFO_DATA& devInfo)
{
    HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (hKey == INVALID_HANDLE_VALUE)
        return std::string();
    char szName[REG_NAME_CHARS] = {};
    DWORD dwLen = REG_NAME_CHARS - 1;   // room for a terminator the value may lack
    DWORD dwType = 0;
    const LSTATUS nRes = RegQueryValueExA(hKey, "PortName", nullptr, &dwType, reinterpret_cast<BYTE*>(szName), &dwLen);
    RegCloseKey(hKey);
    return (nRes == ERROR_SUCCESS && dwType == REG_SZ) ? std::string(szName) : std::string();
}

} // namespace

void AddSerialCommPorts(std::vector<CDeviceItem>& vecItems, const std::vector<std::string>& vecComNames)
{
    for (const std::string& strCom : vecComNames) {
        const int32_t nPort = ComPortFromName(strCom.c_str());
        if (nPort != 0 && !HasPort(vecItems, nPort))
            vecItems.push_back(CDeviceItem { "COM" + std::to_string(nPort), nPort });
    }
}

bool EnumerateSetupDiPorts(std::vector<CDeviceItem>& vecItems)
{
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&GUID_PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (hDevInfo == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(hDevInfo, dwIndex, &devInfo); ++dwIndex) {
        std::string strName = FriendlyName(hDevInfo, devInfo);
        const int32_t nPort = PortNumberOfPortsDevice(PortName(hDevInfo, devInfo).c_str(), strName.c_str());
        if (nPort == 0)
            continue;   // a printer port, or nothing COMn opens
        if (strName.empty())
            strName = "COM" + std::to_string(nPort);
        vecItems.push_back(CDeviceItem { std::move(strName), nPort });
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
bool CSystemDeviceSource::EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems)
{
    vecItems.clear();
    const bool bSetupDi = EnumerateSetupDiPorts(vecItems);
    std::vector<std::string> vecComNames;
    const bool bSerialComm = ReadSerialCommPorts(vecComNames);
    AddSerialCommPorts(vecItems, vecComNames);
    return bSetupDi || bSerialComm;
}
