#include "shell/start_diag.h"

#include "link/rf_ctrl.h"
#include "pcap/pcap_pipe.h"
#include "base/settings.h"

namespace {

std::string Text(const char* psz)
{
    return psz != nullptr ? std::string(psz) : std::string();
}

// The system's message and its own number, as the user may look it up.
std::string ErrorText(const COsError& err)
{
    return err.m_strText + " (error " + std::to_string(err.m_nCode) + ")";
}

} // namespace

std::string DescribeMissingProgram(const char* pszPath)
{
    std::string strPath = Text(pszPath);
    if (strPath.empty())
        return "No Wireshark path is set: choose the program with the \"...\" button";
    if (strPath.find('/') == std::string::npos)
        return "Wireshark program \"" + strPath + "\" was not found in PATH";
    return "Wireshark program not found: " + strPath;
}

std::string DescribePathTooLong(size_t nLen)
{
    return "The Wireshark path is " + std::to_string(nLen) + " bytes long; at most "
        + std::to_string(SETTINGS_VALUE_SIZE - 1) + " fit: nothing was started";
}

std::string DescribeStoredPathTooLong(size_t nLen, const char* pszIni)
{
    return "The Wireshark path stored in " + Text(pszIni) + " is " + std::to_string(nLen)
        + " bytes long; at most " + std::to_string(SETTINGS_VALUE_SIZE - 1)
        + " fit, so it is not used: choose the program with the \"...\" button";
}

std::string DescribeAckTimeout(int32_t nState, uint32_t dwTimeoutMs)
{
    std::string strCommand;
    switch (nState) {
    case RF_STATE_WAIT_CHANNEL_ACK:
        strCommand = "the set-channel command";
        break;
    case RF_STATE_WAIT_START_ACK:
        strCommand = "the start command";
        break;
    case RF_STATE_WAIT_STOP_ACK:
        strCommand = "the stop command";
        break;
    default:
        strCommand = "a command";
        break;
    }
    const uint32_t dwMs = dwTimeoutMs;
    const std::string strWait = dwMs % 1000 == 0 ? std::to_string(dwMs / 1000) + " s" : std::to_string(dwMs) + " ms";
    return "The dongle did not answer " + strCommand + " within " + strWait;
}

std::string DescribePipeFailure(const char* pszPath, int32_t nFailure, const COsError& errLaunch,
    const COsError& errPipe, const char* pszPipePath, uint32_t dwConnectMs)
{
    const std::string strPipe = Text(pszPipePath);
    switch (nFailure) {
    case PIPE_FAIL_CREATE:
        return "Could not create the pipe " + strPipe + ": " + ErrorText(errPipe);
    case PIPE_FAIL_LAUNCH:
        return "Could not start " + Text(pszPath) + ": " + ErrorText(errLaunch);
    case PIPE_FAIL_CONNECT_TIMEOUT:
        return "Wireshark did not connect to " + strPipe + " within "
            + std::to_string((dwConnectMs + 999) / 1000) + " s";
    case PIPE_FAIL_CONNECT_ERROR:
        return "Waiting for Wireshark on " + strPipe + " failed: " + ErrorText(errPipe);
    default:
        return "Wireshark could not be started on " + strPipe;
    }
}

std::string DescribePortFailure(int32_t nPort, bool bOpen, const COsError& errOpen, const char* pszDevice,
    const char* pszResolved, const char* pszPortsDir)
{
    const std::string strCom = "COM" + std::to_string(nPort);
    std::string strDevice = Text(pszDevice);
    if (strDevice.empty())
        strDevice = Text(pszResolved);
    // Where ports are no links (Windows: no ports directory) there is no link to hint at.
    const bool bLinks = pszPortsDir != nullptr && pszPortsDir[0] != '\0';
    const std::string strLink = Text(pszPortsDir) + "/com" + std::to_string(nPort);

    if (bOpen)
        return strCom + " (" + strDevice + ") opened but did not take the set-channel command";
    if (strDevice.empty())
        return "No port " + strCom + ": nothing maps to it" + (bLinks ? " (no link " + strLink + ")" : "");
    switch (errOpen.m_eKind) {
    case EOsError::None:
    case EOsError::NotFound:
        return "No port " + strCom + ": nothing at " + strDevice + (bLinks ? " (nor a link " + strLink + ")" : "");
    case EOsError::AccessDenied:
        return strDevice + " (" + strCom + "): permission denied; join the 'dialout' group "
            "(sudo usermod -aG dialout $USER) and log in again";
    case EOsError::Busy:
        return strDevice + " (" + strCom + ") is in use by another program";
    default:
        return strDevice + " (" + strCom + "): " + ErrorText(errOpen);
    }
}
