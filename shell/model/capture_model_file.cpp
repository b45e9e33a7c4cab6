// "Save to .pcap file": the mode and its file, remembered in the settings,
// and a capture into the file instead of Wireshark (no pipe, no launch). An
// existing file is replaced only when the user chose so.
#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "shell/model/activity_log.h"
#include "engine/capture_texts.h"
#include "engine/channels.h"
#include "shell/model/dlg_ids.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

constexpr const char* PCAP_EXTENSION = ".pcap";
constexpr const char* LABEL_WIRESHARK = "Specify path to Wireshark";
constexpr const char* LABEL_PCAPFILE = "Specify path to .pcap file";

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

// The home folder a leading "~" stands for ("" when none is known).
std::string HomeFolder()
{
    for (const char* pszVar : { "HOME", "USERPROFILE" }) {
        const char* pszHome = std::getenv(pszVar);
        if (pszHome != nullptr && *pszHome != '\0')
            return pszHome;
    }
    return std::string();
}

// A typed name names one place from now on: a leading "~" is the home folder,
// and a relative name is taken in the current folder at Start, so that the
// file written and the one remembered are the same whatever the current
// folder is later.
std::string AbsoluteSavePath(const std::string& strPath)
{
    std::string strFull = strPath;
    const bool bTilde = strFull == "~" || strFull.rfind("~/", 0) == 0 || strFull.rfind("~\\", 0) == 0;
    const std::string strHome = bTilde ? HomeFolder() : std::string();
    if (!strHome.empty())
        strFull = strHome + strFull.substr(1);
    std::error_code ec;
    const std::filesystem::path pathAbs = std::filesystem::absolute(std::filesystem::path(strFull), ec);
    return ec ? strFull : pathAbs.lexically_normal().string();
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
    m_eMode = ReadSettingInt(SETTINGS_INDEX, SETTINGS_KEY_MODE, 0) == static_cast<int32_t>(ECaptureMode::PcapFile)
        ? ECaptureMode::PcapFile : ECaptureMode::Wireshark;
    char szPath[SETTINGS_VALUE_SIZE];
    size_t nWholeLen = 0;
    ReadSettingString(SETTINGS_INDEX, SETTINGS_KEY_PCAP_FILE, "", szPath, &nWholeLen);
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
    if (WriteSettingInt(SETTINGS_INDEX, SETTINGS_KEY_MODE, static_cast<int32_t>(eMode)) != 1)
        LogWriteFailure(SETTINGS_KEY_MODE);
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
    else if (WriteSettingString(SETTINGS_INDEX, SETTINGS_KEY_PCAP_FILE, m_strPcapPath.c_str()) != 1)
        LogWriteFailure(SETTINGS_KEY_PCAP_FILE);
    ShowPathAndRx();
}

// The name in the box, made absolute, with ".pcap" added when it has no
// extension; saved when it changed. A name too long for the setting is used but not remembered.
bool CCaptureModel::TakePcapPath(std::string& strPath)
{
    if (m_strPcapPath.empty()) {
        LogPrintf("No .pcap file named: type its path or choose it with \"...\"\n");
        return false;
    }
    strPath = AbsoluteSavePath(WithPcapExtension(m_strPcapPath));
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
    ReadSettingString(SETTINGS_INDEX, SETTINGS_KEY_PCAP_FILE, "", szStored);
    if (strPath != szStored && WriteSettingString(SETTINGS_INDEX, SETTINGS_KEY_PCAP_FILE, strPath.c_str()) != 1)
        LogWriteFailure(SETTINGS_KEY_PCAP_FILE);   // used all the same
    return true;
}

// A new file, or an existing one replaced after the user agreed (in the save
// dialog for this one capture, or now). A file that appears between the two
// opens is not replaced: the first open never truncates.
bool CCaptureModel::OpenPcapFile(const std::string& strPath)
{
    const bool bReplaceChosen = m_bReplaceChosen;
    m_bReplaceChosen = false;   // the next capture would replace this one's file: it asks
    if (m_engine.OpenOutput(strPath, EPcapFileOpen::CreateNew))
        return true;
    if (m_engine.GetOutputError().m_eKind == EOsError::AlreadyExists) {
        if (!bReplaceChosen) {
            const bool bReplace = m_view.ConfirmOverwrite(strPath);
            // The dialog may have ended while the question was open.
            if (m_bExitStepsDone || m_engine.IsRunning())
                return false;
            if (!bReplace) {
                LogPrintf("%s exists and was kept: the capture did not start\n", strPath.c_str());
                return false;
            }
        }
        if (m_engine.OpenOutput(strPath, EPcapFileOpen::Replace))
            return true;
    }
    LogPrintf("Could not open %s for the capture: %s\n", strPath.c_str(), Reason(m_engine.GetOutputError()).c_str());
    return false;
}

// Start in "Save to .pcap file" mode: the file first (so nothing reaches the
// dongle when it cannot be written), then the port, as a Wireshark capture
// does once Wireshark reads. A port that fails leaves no file of ours.
void CCaptureModel::StartFileCapture(const CCaptureTarget& target)
{
    std::string strPath;
    if (!TakePcapPath(strPath) || !OpenPcapFile(strPath))
        return;
    if (!m_engine.StartPort(target))
        return;
    SetRunning(true);
    LogPrintf("Saving the capture to %s\n", strPath.c_str());
}
