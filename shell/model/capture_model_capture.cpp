// Start and Stop, and what the engine tells about the capture: its lines in
// the log, its counters in the Rx label, its end on the buttons.
#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "engine/capture_texts.h"
#include "engine/channels.h"
#include "pcap/launch.h"
#include "shell/model/activity_log.h"

// The capture runs on the port of the selected device and the channel the
// box shows, whether or not the settings could hold them.
CCaptureTarget CCaptureModel::TargetShown() const
{
    CCaptureTarget target;
    target.m_nPort = m_vecDevices[static_cast<size_t>(m_nDeviceSel)].m_nPort;
    target.m_nChannel = CHANNEL_FIRST + m_nChannelSel;
    return target;
}

void CCaptureModel::OnStart()
{
    if (m_engine.IsRunning())
        return;   // Start is disabled then; a stray call changes nothing
    if (m_nDeviceSel < 0 || static_cast<size_t>(m_nDeviceSel) >= m_vecDevices.size()) {
        LogPrintf("%s\n", TEXT_NO_DEVICE);
        return;
    }
    const CCaptureTarget target = TargetShown();
    // The engine keeps the last scan's channel list: a capture hops only
    // when asked to, and the dialog never asks.
    m_engine.SetHopPlan(CChannelPlan());
    if (m_eMode == ECaptureMode::PcapFile) {
        StartFileCapture(target);
        return;
    }
    std::string strPath;
    if (!TakeWiresharkPath(strPath))
        return;
    if (!ProgramExists(strPath.c_str())) {
        LogPrintf("%s\n", TEXT_OPEN_WIRESHARK_FAIL);
        LogPrintf("%s\n", DescribeMissingProgram(strPath.c_str()).c_str());
        return;
    }
    // Launches Wireshark and returns; the port opens once it reads.
    if (m_engine.StartWithWireshark(strPath, target))
        SetRunning(true);
}

// The path the user typed or chose. Changed, it is saved first (an empty
// path is not: it means nothing chosen); a path the setting cannot hold whole
// is refused rather than cut.
bool CCaptureModel::TakeWiresharkPath(std::string& strPath)
{
    if (m_nStoredPathCutLen != 0) {
        LogPrintf("%s\n", TEXT_OPEN_WIRESHARK_FAIL);
        LogPrintf("%s\n", DescribeStoredPathTooLong(m_nStoredPathCutLen, GetSettingsPath()).c_str());
        return false;
    }
    strPath = m_strPath;
    if (strPath.size() >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        LogPrintf("%s\n", TEXT_OPEN_WIRESHARK_FAIL);
        LogPrintf("%s\n", DescribePathTooLong(strPath.size()).c_str());
        return false;
    }
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, SETTINGS_KEY_WIRESHARK, SETTINGS_DEFAULT_WIRESHARK, szStored);
    if (!strPath.empty() && strPath != szStored
        && WriteSettingString(SETTINGS_INDEX, SETTINGS_KEY_WIRESHARK, strPath.c_str()) != 1)
        LogWriteFailure(SETTINGS_KEY_WIRESHARK);   // used all the same
    return true;
}

// The stop command goes out, Wireshark's client is cut off at once (or the
// file closed whole), the buttons are as before Start; the engine tells the
// Stop line and the summary.
void CCaptureModel::OnStop()
{
    m_engine.Stop(ESessionEnd::Stopped);
}

void CCaptureModel::OnEngineLine(const std::string& strLine)
{
    LogPrintf("%s\n", strLine.c_str());
}

void CCaptureModel::OnEngineProgress()
{
    RefreshRxLabel(m_engine.GetCounters().m_qwDataBytes);
    if (m_bScanning)
        ShowSurveyNow(true);
}

void CCaptureModel::OnEngineEnded(ESessionEnd eEnd)
{
    RefreshRxLabel(m_engine.GetCounters().m_qwDataBytes);
    if (m_bScanning)
        EndScan(eEnd);
    ShowRetuning(false);
    SetRunning(false);
}

void CCaptureModel::RefreshRxLabel(uint64_t qwDataBytes)
{
    const int64_t nBytes = static_cast<int64_t>(qwDataBytes);
    if (nBytes == m_nRxBytes)
        return;   // blank until the first frame, then changes only with the count
    m_nRxBytes = nBytes;
    m_strRxCount = "Rx : " + std::to_string(qwDataBytes);
    ShowPathAndRx();
}
