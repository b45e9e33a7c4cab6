// quillmark-extcap: the program Wireshark runs from its extcap folder to list
// the dongles, ask for the channel and capture into its FIFO.
#include <cstdio>
#include <string>
#include <vector>

#include "base/settings.h"
#include "engine/capture_settings.h"
#include "serial/port_names.h"
#include "devices/device_source.h"
#include "engine/channels.h"
#include "shell/extcap/extcap_args.h"
#include "shell/extcap/extcap_capture.h"
#include "shell/extcap/extcap_install.h"
#include "shell/extcap/extcap_text.h"

namespace {

constexpr int32_t EXIT_USAGE = 2;

void Print(FILE* pFile, const std::string& strText)
{
    std::fwrite(strText.data(), 1, strText.size(), pFile);
    std::fflush(pFile);
}

// Wireshark's calls other than --capture name an interface of ours.
bool CheckInterface(const CExtcapArgs& args)
{
    if (PortFromExtcapInterface(args.m_strInterface) != 0)
        return true;
    Print(stderr, "quillmark-extcap: not a Quillmark interface: \"" + args.m_strInterface + "\"\n");
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    CExtcapArgs args;
    std::string strError;
    if (!ParseExtcapArgs(argc, argv, args, strError)) {
        Print(stderr, "quillmark-extcap: " + strError + "\n");
        return EXIT_USAGE;
    }
    // The settings beside the real program (a link in Wireshark's folder
    // resolves to it), and the ports directory inside them.
    InitSettingsPath();
    const std::string strPorts = std::string(GetSettingsDirectory()) + "/ports";
    SetPortsDirectory(strPorts.c_str());

    std::string strOut;
    std::string strErr;
    int32_t nExit = 0;
    switch (args.m_eAction) {
    case EExtcapAction::None:
        Print(stderr, ExtcapUsageText());
        return EXIT_USAGE;
    case EExtcapAction::Help:
        strOut = ExtcapUsageText();
        break;
    case EExtcapAction::Interfaces: {
        std::vector<CDeviceItem> vecDevices;
        CSystemDeviceSource devices;
        devices.EnumeratePresentPorts(vecDevices);   // none found: the list is empty
        strOut = ExtcapInterfacesText(QM_VERSION_STRING, QM_EXTCAP_HELP, vecDevices, ReadStoredChannel());
        break;
    }
    case EExtcapAction::Dlts:
        if (!CheckInterface(args))
            return 1;
        strOut = ExtcapDltsText();
        break;
    case EExtcapAction::Config:
        if (!CheckInterface(args))
            return 1;
        strOut = ExtcapConfigText(ReadStoredChannel());
        break;
    case EExtcapAction::Capture:
        nExit = RunExtcapCapture(args, strErr);
        break;
    case EExtcapAction::Install:
    case EExtcapAction::Uninstall:
        nExit = RunExtcapInstall(args, strOut, strErr);
        break;
    }
    Print(stdout, strOut);
    if (!strErr.empty())
        Print(stderr, "quillmark-extcap: " + strErr);
    return nExit;
}
