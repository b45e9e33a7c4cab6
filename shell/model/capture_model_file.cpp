// "Save to .pcap file": the mode and its file, remembered in the settings;
// a capture that writes the forwarder's records into the file instead of
// the pipe link (no pipe, no launch); the file closed whole at Stop, Exit or
// a failure. An existing file is replaced only when the user chose so.
#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "shell/model/activity_log.h"
#include "engine/capture_texts.h"
#include "engine/channels.h"
#include "shell/model/dlg_ids.h"

#include <cstdio>

namespace {

constexpr const char* PCAP_EXTENSION = ".pcap";
constexpr const char* LABEL_WIRESHARK = "Specify path to Wireshark";
constexpr const char* LABEL_PCAPFILE = "Specify path to .pcap file";

uint64_t Diff(uint64_t qwFrom, uint64_t qwTo)
{
    return qwTo >= qwFrom ? qwTo - qwFrom : 0;
}

// A file name without an extension gets ".pcap"; a leading dot is no extension.
std::string WithPcapExtension(const std::string& strPath)
{
    const size_t nSlash = strPath.find_last_of("/\\");
    const size_t nName = nSlash == std::string::npos ? 0 : nSlash + 1;
    const size_t nDot = strPath.find_last_of('.');
    if (nDot != std::string::npos && nDot > nName)
        return strPath;
    return strPath + PCAP_EXTENSION;
}

// The file's counts in the terms of the Stop summary: what a failed write
// lost has no reader any more.
CPcapPipeStats AsPipeStats(const CPcapFileStats& stats)
{
    CPcapPipeStats out {};
    out.m_qwRecordsQueued = stats.m_qwRecordsWritten + stats.m_qwRecordsDropped;
    out.m_qwRecordsDelivered = stats.m_qwRecordsWritten;
    out.m_qwBytesDelivered = stats.m_qwBytesWritten;
    out.m_qwDroppedNoReader = stats.m_qwRecordsDropped;
    return out;
}

std::string Reason(const COsError& err)
{
    if (!err.m_strText.empty())
        return err.m_strText;
    return "error " + std::to_string(err.m_nCode);
}

} // namespace

void CCaptureModel::LoadCaptureMode()
{
    m_eMode = ReadSettingInt(SETTINGS_INDEX, "Mode", 0) == static_cast<int32_t>(ECaptureMode::PcapFile)
        ? ECaptureMode::PcapFile : ECaptureMode::Wireshark;
    char szPath[SETTINGS_VALUE_SIZE];
    size_t nWholeLen = 0;
    ReadSettingString(SETTINGS_INDEX, "PcapFile", "", szPath, &nWholeLen);
    m_strPcapPath = szPath;
    m_bReplaceChosen = false;
    // A cut name would be another file.
    if (nWholeLen >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        m_strPcapPath.clear();
        LogPrintf("The stored .pcap file name is %d bytes long, at most %d fit: not used (%s)\n",
            static_cast<int>(nWholeLen), SETTINGS_VALUE_SIZE - 1, GetSettingsPath());
    }
    ShowMode();
    ShowPathAndRx();
}

void CCaptureModel::ShowMode()
{
    m_view.ShowMode(m_eMode, m_eMode == ECaptureMode::PcapFile ? LABEL_PCAPFILE : LABEL_WIRESHARK);
}

void CCaptureModel::OnModeChosen(ECaptureMode eMode)
{
    if (eMode == m_eMode)
        return;
    m_eMode = eMode;
    if (WriteSettingInt(SETTINGS_INDEX, "Mode", static_cast<int32_t>(eMode)) != 1)
        LogWriteFailure("Mode");
    ShowMode();
    ShowPathAndRx();
}

// The save dialog asked before an existing file was chosen: that choice
// replaces it at the next Start without asking again.
void CCaptureModel::BrowsePcapFile()
{
    std::string strChosen;
    if (!m_view.ChooseSaveFile(strChosen) || strChosen.empty())
        return;
    m_strPcapPath = WithPcapExtension(strChosen);
    m_bReplaceChosen = m_strPcapPath == strChosen;   // the dialog asked about this very name
    if (m_strPcapPath.size() >= static_cast<size_t>(SETTINGS_VALUE_SIZE))
        LogPrintf(".pcap file not remembered: its name is %d bytes long, at most %d fit\n",
            static_cast<int>(m_strPcapPath.size()), SETTINGS_VALUE_SIZE - 1);
    else if (WriteSettingString(SETTINGS_INDEX, "PcapFile", m_strPcapPath.c_str()) != 1)
        LogWriteFailure("PcapFile");
    ShowPathAndRx();
}

// The name in the box, with ".pcap" added when it has no extension; saved
// when it changed. A name too long for the setting is used but not remembered.
bool CCaptureModel::TakePcapPath(std::string& strPath)
{
    if (m_strPcapPath.empty()) {
        LogPrintf("No .pcap file named: type its path or choose it with \"...\"\n");
        return false;
    }
    strPath = WithPcapExtension(m_strPcapPath);
    if (strPath != m_strPcapPath) {
        m_strPcapPath = strPath;
        m_bReplaceChosen = false;
        ShowPathAndRx();
    }
    if (strPath.size() >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        LogPrintf(".pcap file not remembered: its name is %d bytes long, at most %d fit\n",
            static_cast<int>(strPath.size()), SETTINGS_VALUE_SIZE - 1);
        return true;
    }
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "PcapFile", "", szStored);
    if (strPath != szStored && WriteSettingString(SETTINGS_INDEX, "PcapFile", strPath.c_str()) != 1)
        LogWriteFailure("PcapFile");   // used all the same
    return true;
}

// A new file, or an existing one replaced after the user agreed (in the save
// dialog for this one capture, or now). A file that appears between the two
// opens is not replaced: the first open never truncates.
bool CCaptureModel::OpenPcapFile(const std::string& strPath)
{
    const bool bReplaceChosen = m_bReplaceChosen;
    m_bReplaceChosen = false;   // the next capture would replace this one's file: it asks
    m_bFileCreated = m_pcapFile.Open(strPath, EPcapFileOpen::CreateNew);
    if (m_bFileCreated)
        return true;
    if (m_pcapFile.GetLastError().m_eKind == EOsError::AlreadyExists) {
        if (!bReplaceChosen) {
            const bool bReplace = m_view.ConfirmOverwrite(strPath);
            // The dialog may have ended while the question was open.
            if (m_bExitStepsDone || m_nCapturePhase != CAPTURE_IDLE)
                return false;
            if (!bReplace) {
                LogPrintf("%s exists and was kept: the capture did not start\n", strPath.c_str());
                return false;
            }
        }
        if (m_pcapFile.Open(strPath, EPcapFileOpen::Replace))
            return true;
    }
    LogPrintf("Could not open %s for the capture: %s\n", strPath.c_str(), Reason(m_pcapFile.GetLastError()).c_str());
    return false;
}

// Start in "Save to .pcap file" mode: the file first (so nothing reaches the
// dongle when it cannot be written), then the port on the stored port and
// channel, as a Wireshark capture does once Wireshark reads.
void CCaptureModel::StartFileCapture()
{
    std::string strPath;
    if (!TakePcapPath(strPath) || !OpenPcapFile(strPath))
        return;
    m_eCaptureMode = ECaptureMode::PcapFile;
    m_strFileInCapture = strPath;
    m_strFileOutcome.clear();
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_fileAtStart = m_pcapFile.GetStats();
    m_fileAtEnd = m_fileAtStart;
    m_recordSwitch.SetTarget(&m_pcapFile);
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", CHANNEL_FIRST);
    if (m_rfCtrl.StartCapture(nPort, nChannel) != 0) {
        EndFileCapture();
        m_strFileOutcome.clear();
        if (m_bFileCreated)
            std::remove(strPath.c_str());   // empty and ours: the next Start need not ask about it
        LogPrintf("Open UART Port FAIL!\n");
        LogPortOpenFailure();
        return;
    }
    m_nCapturePhase = CAPTURE_RUNNING;
    m_bCapturing = 1;
    SetRunning(true);
    m_wnd.SetTimer(MODEL_RX_TIMER_ID, RX_LABEL_REFRESH_MS);
    LogPrintf("Saving the capture to %s\n", strPath.c_str());
}

// The records go nowhere from now on; what the file has is closed whole. The
// line that says where and how much is kept for after Stop's summary.
void CCaptureModel::EndFileCapture()
{
    m_recordSwitch.SetTarget(nullptr);
    if (!m_pcapFile.IsOpen())
        return;
    const bool bClosed = m_pcapFile.Close();
    m_fileAtEnd = m_pcapFile.GetStats();
    const std::string strFrames = std::to_string(Diff(m_fileAtStart.m_qwRecordsWritten, m_fileAtEnd.m_qwRecordsWritten));
    if (bClosed)
        m_strFileOutcome = "Saved " + strFrames + " frames to " + m_strFileInCapture;
    else
        m_strFileOutcome = "Saved " + strFrames + " frames to " + m_strFileInCapture + "; it ends where a write failed ("
            + Reason(m_pcapFile.GetLastError()) + ")";
}

// A write failed (the disk is full): reported once, and the capture ends as
// Stop ends it. The Rx timer looks.
void CCaptureModel::CheckFileWrites()
{
    if (m_eCaptureMode != ECaptureMode::PcapFile || m_nCapturePhase != CAPTURE_RUNNING || !m_pcapFile.IsBroken())
        return;
    LogPrintf("Could not write to %s: %s; the capture ends\n", m_strFileInCapture.c_str(),
        Reason(m_pcapFile.GetLastError()).c_str());
    OnStop();
}

void CCaptureModel::LogFileSummary()
{
    LogPrintf("%s\n", DescribeCaptureSummary(m_countersAtStart, m_rfCtrl.GetCounters(), AsPipeStats(m_fileAtStart),
        AsPipeStats(m_fileAtEnd)).c_str());
    m_countersAtStart = m_rfCtrl.GetCounters();
    m_fileAtStart = m_fileAtEnd;
    if (!m_strFileOutcome.empty())
        LogPrintf("%s\n", m_strFileOutcome.c_str());
    m_strFileOutcome.clear();
}
