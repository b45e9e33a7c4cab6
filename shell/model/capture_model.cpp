#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "engine/capture_texts.h"
#include "serial/port_names.h"
#include "shell/model/activity_log.h"
#include "shell/model/dlg_ids.h"

#include <utility>

namespace {

constexpr uint32_t ABOUT_COMMAND_MASK = 0xFFF0u;   // IDM_ABOUTBOX and the 15 ids after it

} // namespace

CCaptureModel::CCaptureModel(ICaptureView& view, IDeviceSource& devices)
    : m_view(view)
    , m_devices(devices)
    , m_fnSettingsPath([] { InitSettingsPath(); })
    , m_wnd(*this)
    , m_bExitStepsDone(false)
    , m_nStoredPathCutLen(0)
    , m_nDeviceSel(-1)
    , m_nChannelSel(0)
    , m_nRxBytes(0)
    , m_bRunning(false)
    , m_eMode(ECaptureMode::Wireshark)
    , m_bReplaceChosen(false)
    , m_dwScanDwellMs(CHANNEL_DWELL_DEFAULT_MS)
    , m_engine(*this)
{
    m_wnd.CreateWnd(this, IDC_MODEL_WND);
}

void CCaptureModel::AttachLog()
{
    SetLogTarget(this);
}

CCaptureModel::~CCaptureModel()
{
    if (GetLogTarget() == this)
        SetLogTarget(nullptr);
    if (m_pDeviceWatch != nullptr)
        m_pDeviceWatch->Stop();   // its thread posts to m_wnd
    m_engine.Shutdown();
}

void CCaptureModel::SetSettingsPathSource(std::function<void()> fnCompute)
{
    m_fnSettingsPath = std::move(fnCompute);
}

void CCaptureModel::OnInitDialog()
{
    // 1. The (empty) Rx text and path are shown.
    ShowPathAndRx();
    // 2.-3. (the About command and the icons) are the face's.
    // 4. Settings path, and the ports directory inside the settings directory.
    m_fnSettingsPath();
    std::string strPorts = GetSettingsDirectory();
    strPorts += "/ports";
    SetPortsDirectory(strPorts.c_str());
    // 5.-7. The watch first, so that no device comes unseen between the two.
    StartDeviceWatch();
    FillDeviceList();
    SelectStoredChannel();
    LoadWiresharkPath();
    LoadCaptureMode();
    // 8. The engine's windows (the controller's among them); the result is not looked at.
    m_engine.Create();
}

LRESULT CCaptureModel::OnMessage(uint32_t nMsg, WPARAM /*wParam*/, LPARAM lParam)
{
    switch (nMsg) {
    case WM_LOG_TEXT:
        OnLogText(reinterpret_cast<const char*>(lParam));
        return 0;
    default:
        return 0;
    }
}

LRESULT CCaptureModel::CModelWnd::WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_MODEL_DEVICES_CHANGED:
        // Cleared first: a change during the look posts again.
        m_model.m_bDevicesChangePosted = false;
        m_model.OnDevicesChanged();
        return 0;
    case WM_MODEL_RETUNE:
        m_model.RetuneToBox();
        return 0;
    default:
        return CMsgWnd::WindowProc(nMsg, wParam, lParam);
    }
}

// An empty box counts one line and every text adds one, so the count
// before the k-th text is k: texts 1..200 are appended, the 201st replaces
// everything and the box starts afresh with it.
void CCaptureModel::OnLogText(const char* pszText)
{
    const std::string strBox = LogTextToBoxText(pszText);
    if (strBox.empty())
        return;
    if (m_view.CountLogLines() <= LOG_MAX_LINES)
        m_view.AppendLog(strBox);
    else
        m_view.ReplaceLog(strBox);
}

void CCaptureModel::SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_engine.SetPipeTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureModel::SetAckTimeoutMs(uint32_t dwMs)
{
    m_engine.SetAckTimeoutMs(dwMs);
}

void CCaptureModel::SetResumeWaitMs(uint32_t dwMs)
{
    m_engine.SetResumeWaitMs(dwMs);
}

void CCaptureModel::ShowPathAndRx()
{
    m_view.ShowRx(m_strRxCount);
    m_view.ShowPath(GetPath());
}

void CCaptureModel::SetRunning(bool bRunning)
{
    m_bRunning = bRunning;
    m_view.SetRunning(bRunning);
}

// A stored path that was cut to fit the setting would name another program:
// it is reported and not shown, so that Start cannot launch it.
void CCaptureModel::LoadWiresharkPath()
{
    char szPath[SETTINGS_VALUE_SIZE];
    size_t nWholeLen = 0;
    ReadSettingString(SETTINGS_INDEX, SETTINGS_KEY_WIRESHARK, SETTINGS_DEFAULT_WIRESHARK, szPath, &nWholeLen);
    m_nStoredPathCutLen = 0;
    m_strPath = szPath;
    if (nWholeLen >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        m_nStoredPathCutLen = nWholeLen;
        m_strPath.clear();
        LogPrintf("%s\n", DescribeStoredPathTooLong(nWholeLen, GetSettingsPath()).c_str());
    }
    ShowPathAndRx();
}

void CCaptureModel::OnPathTyped(const std::string& strPath)
{
    if (m_eMode == ECaptureMode::PcapFile) {
        m_strPcapPath = strPath;
        m_bReplaceChosen = false;   // a typed name was not asked about
        return;
    }
    m_strPath = strPath;
    m_nStoredPathCutLen = 0;
}

void CCaptureModel::OnSysCommand(uint32_t nID)
{
    if ((nID & ABOUT_COMMAND_MASK) == static_cast<uint32_t>(IDM_ABOUTBOX))
        m_view.ShowAbout();
}

void CCaptureModel::OnBrowse()
{
    if (m_eMode == ECaptureMode::PcapFile) {
        BrowsePcapFile();
        return;
    }
    std::string strChosen;
    if (!m_view.ChooseProgramFile(strChosen) || strChosen.empty())
        return;
    // The setting holds at most 255 bytes; a cut path would name another file.
    if (strChosen.size() >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        LogPrintf("Wireshark path not saved: it is %d bytes long, at most %d fit: %s\n",
            static_cast<int>(strChosen.size()), SETTINGS_VALUE_SIZE - 1, strChosen.c_str());
        return;
    }
    m_strPath = strChosen;
    m_nStoredPathCutLen = 0;
    if (WriteSettingString(SETTINGS_INDEX, SETTINGS_KEY_WIRESHARK, m_strPath.c_str()) != 1)
        LogWriteFailure(SETTINGS_KEY_WIRESHARK);
    ShowPathAndRx();
}

void CCaptureModel::OnExit()
{
    RunExitSteps();
    m_view.EndDialog(ECaptureEnd::Exit);
}

void CCaptureModel::OnCancel()
{
    RunExitSteps();
    m_view.EndDialog(ECaptureEnd::Cancel);
}

void CCaptureModel::OnExitSignal(int32_t /*nSignal*/)
{
    RunExitSteps();
    m_view.EndDialog(ECaptureEnd::Signal);
}

// The stop command goes out and is drained before the port closes; the
// pipe's client is cut off, a file closed whole. Once per dialog: leaving twice sends nothing more.
void CCaptureModel::RunExitSteps()
{
    if (m_bExitStepsDone)
        return;
    m_bExitStepsDone = true;
    m_engine.Shutdown();   // the dialog is ending: nothing is logged
}

void CCaptureModel::LogWriteFailure(const char* pszKey)
{
    // The store's reason when it knows one (a link out of the settings folder,
    // a folder closed to the user); else which key and file.
    const std::string strWhy = GetLastSettingsWriteError();
    if (!strWhy.empty())
        LogPrintf("%s\n", strWhy.c_str());
    else
        LogPrintf("Could not save \"%s\" in %s\n", pszKey, GetSettingsPath());
}
