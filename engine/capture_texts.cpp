#include "engine/capture_texts.h"

#include "base/settings.h"
#include "link/rf_ctrl.h"

namespace {

std::string Text(const char* psz)
{
    return psz != nullptr ? std::string(psz) : std::string();
}

// The system's message and its own number, as the user may look it up.
std::string ErrorText(const COsError& err)
{
    if (err.m_nCode == 0)
        return err.m_strText.empty() ? std::string("unknown error") : err.m_strText;
    return err.m_strText + " (error " + std::to_string(err.m_nCode) + ")";
}

std::string Seconds(uint32_t dwMs)
{
    return std::to_string((static_cast<uint64_t>(dwMs) + 999) / 1000) + " s";
}

// Counters only grow; a snapshot taken later that is smaller (another
// object) must not wrap into a huge number.
uint64_t Diff(uint64_t qwFrom, uint64_t qwTo)
{
    return qwTo >= qwFrom ? qwTo - qwFrom : 0;
}

std::string Count(uint64_t qw)
{
    return std::to_string(qw);
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
        // The pipe's lock is held: another Quillmark of this user feeds it.
        if (errPipe.m_eKind == EOsError::Busy)
            return "Quillmark is already running: another Quillmark feeds " + strPipe + "; close it first";
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

std::string DescribeWaitForWireshark(const char* pszPipePath, uint32_t dwConnectMs)
{
    return "Waiting up to " + Seconds(dwConnectMs) + " for Wireshark to read from "
        + std::string(pszPipePath != nullptr ? pszPipePath : "");
}

std::string DescribePipeEvent(int32_t nEvent, uint32_t dwReconnectMs)
{
    switch (nEvent) {
    case PIPE_EVENT_CLIENT_GONE:
        return "Wireshark closed the pipe: waiting " + Seconds(dwReconnectMs)
            + " for it to come back (frames are kept meanwhile)";
    case PIPE_EVENT_CLIENT_BACK:
        return "Wireshark is reading again: the capture goes on";
    case PIPE_EVENT_RECONNECT_GAVE_UP:
        return "Wireshark did not come back within " + Seconds(dwReconnectMs)
            + ": frames from now on are dropped (Stop, then Start to launch it again)";
    default:
        return std::string();
    }
}

std::string DescribeLineLost(int32_t nPort)
{
    return "The sniffing device on COM" + std::to_string(nPort)
        + " went away (unplugged?): the capture ends";
}

std::string DescribeCaptureSummary(const CRfCounters& rfFrom, const CRfCounters& rfTo,
    const CPcapPipeStats& pipeFrom, const CPcapPipeStats& pipeTo, uint64_t qwWriteFailed)
{
    const uint64_t qwDelivered = Diff(pipeFrom.m_qwRecordsDelivered, pipeTo.m_qwRecordsDelivered);
    const uint64_t qwGaps = Diff(rfFrom.m_qwGaps, rfTo.m_qwGaps);
    const uint64_t qwGapBytes = Diff(rfFrom.m_qwGapBytes, rfTo.m_qwGapBytes);
    const uint64_t qwNoReader = Diff(pipeFrom.m_qwDroppedNoReader, pipeTo.m_qwDroppedNoReader);
    const uint64_t qwSlow = Diff(pipeFrom.m_qwDroppedSlowReader, pipeTo.m_qwDroppedSlowReader);
    const uint64_t qwNoise = Diff(rfFrom.m_qwNoiseBytes, rfTo.m_qwNoiseBytes);

    // A gap loses at least the frame that was being received when it came.
    std::string strOverflow = Count(qwGaps);
    if (qwGapBytes != 0)
        strOverflow += " (" + Count(qwGapBytes) + " bytes)";
    // A failed write (a full disk) is its own cause; named only when it happened.
    const std::string strWriteFailed = qwWriteFailed != 0 ? ", write failed: " + Count(qwWriteFailed) : "";
    return "Frames delivered: " + Count(qwDelivered) + "; lost: " + Count(qwGaps + qwNoReader + qwSlow + qwWriteFailed)
        + " (receive overflow: " + strOverflow + ", no reader: " + Count(qwNoReader)
        + ", reader too slow: " + Count(qwSlow) + strWriteFailed + "); noise bytes skipped: " + Count(qwNoise);
}

std::string DescribeOutputName(const std::string& strPath, EPcapFileOpen eHow)
{
    return eHow == EPcapFileOpen::Stdout ? std::string("standard output") : strPath;
}

std::string DescribeOutputOpenFailure(const std::string& strName, const COsError& err)
{
    if (err.m_eKind == EOsError::AlreadyExists)
        return strName + " exists already and is not overwritten";
    // A FIFO, a device or a link to nothing where a file was named (or
    // anything but a FIFO where one was): refused before any byte went in.
    if (err.m_eKind == EOsError::WrongKind)
        return "Cannot write the capture to " + strName + ": " + ErrorText(err) + "; nothing was written to it";
    return "Cannot write the capture to " + strName + ": " + ErrorText(err);
}

std::string DescribeOutputWriteFailure(const std::string& strName, const COsError& err)
{
    if (err.m_eKind == EOsError::Gone)
        return "The reader of " + strName + " went away: the capture ends";
    return "Writing the capture to " + strName + " failed: " + ErrorText(err) + ": the capture ends";
}

std::string DescribeDeviceFailure(const std::string& strDevice, const COsError& err)
{
    switch (err.m_eKind) {
    case EOsError::None:
    case EOsError::NotFound:
        return "No device at " + strDevice;
    case EOsError::AccessDenied:
        return strDevice + ": permission denied; join the 'dialout' group "
            "(sudo usermod -aG dialout $USER) and log in again";
    case EOsError::Busy:
        return strDevice + " is in use by another program";
    default:
        return strDevice + ": " + ErrorText(err);
    }
}

std::string DescribeNoFileWritten(const std::string& strPath)
{
    return "No file was written: the capture did not start (" + strPath + " was removed again)";
}

std::string DescribeFileRemoved(const std::string& strPath, uint64_t qwFrames)
{
    return strPath + " was removed during the capture: the " + Count(qwFrames) + " frames written to it are gone";
}

std::string DescribeDeviceLost(const std::string& strDevice)
{
    return "The sniffing device " + strDevice + " went away: the capture ends";
}

std::string DescribeSavedFile(const std::string& strPath, uint64_t qwFrames, bool bClosedWhole, const COsError& err)
{
    const std::string strSaved = "Saved " + Count(qwFrames) + " frames to " + strPath;
    if (bClosedWhole)
        return strSaved;
    return strSaved + "; it ends where a write failed ("
        + (err.m_strText.empty() ? "error " + std::to_string(err.m_nCode) : err.m_strText) + ")";
}
