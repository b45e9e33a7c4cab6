// On Windows a port number names the device itself ("\\.\COMn"); the ports
// directory of comN links is a POSIX notion, kept only so that callers can
// set and show it alike.
#include "serial/port_names.h"

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

bool PortLinksApply()
{
    return false;
}

std::string ResolveComPort(int32_t nPort)
{
    if (nPort < COM_PORT_MIN || nPort > COM_PORT_MAX)
        return std::string();
    return "\\\\.\\COM" + std::to_string(nPort);
}
