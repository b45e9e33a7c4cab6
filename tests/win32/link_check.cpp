// Built for i686 only, never run (32-bit code cannot run here): proves the
// Win32 layers link into a 32-bit static executable and shows what it imports.
#include "base/os_error.h"
#include "base/settings.h"
#include "pcap/launch.h"
#include "pcap/pipe_api.h"
#include "serial/uart_port.h"

int main(int argc, char** argv)
{
    if (argc < 2)
        return 0;
    InitSettingsPath();
    CUartPort port;
    port.SetPort(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1));
    const int32_t nOpen = port.Open();
    COsError err;
    const PIPE_HANDLE hPipe = PipeCreateInstance(&err);
    const char* const apszArgs[] = {"-i", PipeDefaultPath().c_str(), "-k"};
    err = LaunchDetached(argv[1], apszArgs, 3);
    PipeDisconnectClient(hPipe);
    PipeCloseInstance(hPipe);
    return nOpen + err.m_nCode;
}
