#include "shell/cli/cli_port.h"

#include <filesystem>
#include <system_error>

#include "serial/port_names.h"

namespace {

// The path with every link followed; "" when it names nothing present.
std::string Canonical(const std::string& strPath)
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::canonical(strPath, ec);
    return ec ? std::string() : path.string();
}

} // namespace

int32_t ComPortOfDevice(const std::string& strPath)
{
    const std::string strWanted = Canonical(strPath);
    if (strWanted.empty())
        return ComPortFromDeviceNode(strPath.c_str());
    for (int32_t nPort = COM_PORT_MIN; nPort <= COM_PORT_MAX; ++nPort) {
        const std::string strNode = ResolveComPort(nPort);
        if (!strNode.empty() && Canonical(strNode) == strWanted)
            return nPort;
    }
    return 0;
}
