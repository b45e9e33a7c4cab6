// On Windows a port number names the device itself ("\\.\COMn"); the ports
// directory of comN links is a POSIX notion, kept only so that callers can
// set and show it alike.
#include "serial/port_names.h"

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
