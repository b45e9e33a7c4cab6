// Present serial ports on POSIX: tty hardware from libudev, plus the comN
// links of the ports directory.
#include "devices/device_discovery.h"
#include "devices/device_source.h"

#include "serial/port_names.h"

#include <libudev.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <utility>

namespace {

std::string PortsDirEntry(int32_t nPort)
{
    std::string strPath = GetPortsDirectory() != nullptr ? GetPortsDirectory() : "";
    if (strPath.empty())
        return strPath;
    return strPath + "/com" + std::to_string(nPort);
}

// A comN link with a present target, the kind that COMn opens.
bool IsLiveLink(const std::string& strPath, struct stat* pTarget)
{
    struct stat stLink;
    return lstat(strPath.c_str(), &stLink) == 0 && S_ISLNK(stLink.st_mode)
        && stat(strPath.c_str(), pTarget) == 0;
}

// A live comN link in the ports directory takes the port number over from the
// fixed ranges, so hardware behind that number is not what COMn opens.
bool PortTakenByLink(int32_t nPort)
{
    std::string strLink = PortsDirEntry(nPort);
    struct stat st;
    return !strLink.empty() && IsLiveLink(strLink, &st);
}

// Real serial hardware: the kernel links it to a device, and a legacy 8250
// slot whose UART the kernel could not identify (type 0) is not a port.
bool IsSerialHardware(udev_device* pDev)
{
    const char* pszSysPath = udev_device_get_syspath(pDev);
    if (pszSysPath == nullptr)
        return false;
    std::string strDeviceLink = std::string(pszSysPath) + "/device";
    struct stat st;
    if (lstat(strDeviceLink.c_str(), &st) != 0)
        return false;
    const char* pszType = udev_device_get_sysattr_value(pDev, "type");
    if (pszType != nullptr && std::atoi(pszType) == 0)
        return false;
    return true;
}

std::string Description(udev_device* pDev)
{
    const char* pszText = udev_device_get_property_value(pDev, "ID_MODEL_FROM_DATABASE");
    if (pszText != nullptr && pszText[0] != '\0')
        return pszText;
    udev_device* pUsb = udev_device_get_parent_with_subsystem_devtype(pDev, "usb", "usb_device");
    if (pUsb != nullptr) {
        pszText = udev_device_get_sysattr_value(pUsb, "product");
        if (pszText != nullptr && pszText[0] != '\0')
            return pszText;
    }
    pszText = udev_device_get_property_value(pDev, "ID_MODEL");
    if (pszText != nullptr && pszText[0] != '\0') {
        std::string strModel = pszText;
        std::replace(strModel.begin(), strModel.end(), '_', ' ');
        return strModel;
    }
    return std::string();
}

bool AddHardwarePorts(udev* pUdev, std::vector<CDeviceItem>& vecItems)
{
    udev_enumerate* pEnum = udev_enumerate_new(pUdev);
    if (pEnum == nullptr)
        return false;
    bool bOk = udev_enumerate_add_match_subsystem(pEnum, "tty") >= 0
        && udev_enumerate_scan_devices(pEnum) >= 0;
    if (bOk) {
        udev_list_entry* pEntry = nullptr;
        udev_list_entry_foreach(pEntry, udev_enumerate_get_list_entry(pEnum)) {
            udev_device* pDev = udev_device_new_from_syspath(pUdev, udev_list_entry_get_name(pEntry));
            if (pDev == nullptr)
                continue;
            const char* pszNode = udev_device_get_devnode(pDev);
            if (pszNode != nullptr && IsSerialHardware(pDev)) {
                int32_t nPort = ComPortFromDeviceNode(pszNode);
                if (nPort != 0 && !PortTakenByLink(nPort))
                    vecItems.push_back(CDeviceItem { MakeFriendlyName(Description(pDev).c_str(), pszNode, nPort), nPort });
            }
            udev_device_unref(pDev);
        }
    }
    udev_enumerate_unref(pEnum);
    return bOk;
}

// The description of the hardware behind a link target, when udev knows it.
std::string LinkTargetDescription(udev* pUdev, const struct stat& st)
{
    if (pUdev == nullptr || !S_ISCHR(st.st_mode))
        return std::string();
    udev_device* pDev = udev_device_new_from_devnum(pUdev, 'c', st.st_rdev);
    if (pDev == nullptr)
        return std::string();
    std::string strText = IsSerialHardware(pDev) ? Description(pDev) : std::string();
    udev_device_unref(pDev);
    return strText;
}

bool AddLinkedPorts(udev* pUdev, std::vector<CDeviceItem>& vecItems)
{
    const char* pszDir = GetPortsDirectory();
    if (pszDir == nullptr || pszDir[0] == '\0')
        return false;
    DIR* pDir = opendir(pszDir);
    if (pDir == nullptr)
        return false;
    std::vector<CDeviceItem> vecFound;
    while (dirent* pEnt = readdir(pDir)) {
        int32_t nPort = PortNumberFromLinkName(pEnt->d_name);
        if (nPort == 0)
            continue;
        std::string strPath = std::string(pszDir) + "/" + pEnt->d_name;
        struct stat st;
        if (!IsLiveLink(strPath, &st))
            continue;   // dangling, or not a link: nothing COMn would open
        char szTarget[PATH_MAX];
        const char* pszNode = realpath(strPath.c_str(), szTarget) != nullptr ? szTarget : strPath.c_str();
        vecFound.push_back(CDeviceItem { MakeFriendlyName(LinkTargetDescription(pUdev, st).c_str(), pszNode, nPort), nPort });
    }
    closedir(pDir);
    // By port number: readdir's order is the file system's.
    std::sort(vecFound.begin(), vecFound.end(),
        [](const CDeviceItem& a, const CDeviceItem& b) { return a.m_nPort < b.m_nPort; });
    for (CDeviceItem& found : vecFound)
        vecItems.push_back(std::move(found));
    return true;
}

} // namespace

bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems)
{
    vecItems.clear();
    udev* pUdev = udev_new();
    bool bHardware = pUdev != nullptr && AddHardwarePorts(pUdev, vecItems);
    bool bLinks = AddLinkedPorts(pUdev, vecItems);
    if (pUdev != nullptr)
        udev_unref(pUdev);
    return bHardware || bLinks;
}

bool CSystemDeviceSource::EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems)
{
    return ::EnumeratePresentPorts(vecItems);
}
