#include "serial/port_names.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

bool PortLinksApply()
{
    return true;
}

std::string ResolveComPort(int32_t nPort)
{
    if (nPort < COM_PORT_MIN || nPort > COM_PORT_MAX)
        return std::string();
    const std::string strDir = CopyPortsDirectory();
    if (!strDir.empty()) {
        const std::string strLink = strDir + "/com" + std::to_string(nPort);
        struct stat stLink;
        struct stat stTarget;
        // A link wins only while its target is present, as device discovery lists it.
        if (lstat(strLink.c_str(), &stLink) == 0 && S_ISLNK(stLink.st_mode)
            && stat(strLink.c_str(), &stTarget) == 0) {
            char szTarget[PATH_MAX];
            if (realpath(strLink.c_str(), szTarget) != nullptr)
                return std::string(szTarget);
        }
    }
    return FixedRangeDeviceNode(nPort);
}
