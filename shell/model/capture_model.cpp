#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "serial/port_names.h"
#include "shell/model/activity_log.h"
#include "shell/model/dlg_ids.h"
#include "engine/capture_texts.h"

#include <utility>

namespace {

constexpr uint32_t ABOUT_COMMAND_MASK = 0xFFF0u;   // IDM_ABOUTBOX and the 15 ids after it

} // namespace

CCaptureModel::CCaptureModel(ICaptureView& view, IDeviceSource& devices)
    : m_view(view)
    , m_devices(devices)
    , m_fnSettingsPath([] { InitSettingsPath(); })
    , m_pipeEvents(*this)
    , m_wnd(*this)
    , m_bExitStepsDone(false)
    , m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS)
    , m_dwReconnectTimeoutMs(PIPE_RECONNECT_TIMEOUT_MS)
    , m_dwAckTimeoutMs(RF_ACK_TIMEOUT_MS)
    , m_nStoredPathCutLen(0)
    , m_dwPipeGeneration(0)
    , m_nCapturePhase(CAPTURE_IDLE)
    , m_countersAtStart()
    , m_statsAtStart()
    , m_nDeviceSel(-1)
    , m_nChannelSel(0)
    , m_bRunning(false)
    , m_eMode(ECaptureMode::Wireshark)
    , m_eCaptureMode(ECaptureMode::Wireshark)
    , m_bReplaceChosen(false)
    , m_bFileCreated(false)
    , m_fileAtStart()
    , m_fileAtEnd()
    , m_forwarder(&m_recordSwitch)
    , m_nRxBytes(0)
    , m_bCapturing(0)
{
    // Frames go from the reader thread through the forwarder into the pipe
    // link's queue (or the file of a file capture); the pipe link's events
    // come back through the relay.
    m_recordSwitch.SetTarget(&m_pcapPipe);
    m_rfCtrl.SetDataSink(&m_forwarder);
    m_pcapPipe.SetEvents(&m_pipeEvents);
    m_wnd.CreateWnd(this, IDC_MODEL_WND);
}

void CCaptureModel::AttachLog()
{
    SetLogTarget(this);
}

// The reader thread feeds the pipe link through the forwarder: it must be
// gone before the pipe link is destroyed (members go in reverse order).
CCaptureModel::~CCaptureModel()
{
    if (GetLogTarget() == this)
        SetLogTarget(nullptr);
    if (m_pDeviceWatch != nullptr)
        m_pDeviceWatch->Stop();   // its thread posts to m_wnd
    m_wnd.KillTimer(MODEL_RX_TIMER_ID);
    m_rfCtrl.Shutdown();
    m_rfCtrl.SetDataSink(nullptr);
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
    // 8. The controller's hidden window; its result is not looked at.
    m_rfCtrl.Create(this, IDC_RFCTRL);
}

LRESULT CCaptureModel::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_LOG_TEXT:
        OnLogText(reinterpret_cast<const char*>(lParam));
        return 0;
    case WM_RF_STATUS:
        return OnRfStatus(wParam, lParam);
    case WM_RF_LINE_LOST:
        return OnRfLineLost();
    default:
        return 0;
    }
}

LRESULT CCaptureModel::CModelWnd::WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_MODEL_PIPE_EVENT:
        m_model.OnPipeEvent(static_cast<int32_t>(wParam), static_cast<uint32_t>(lParam));
        return 0;
    case WM_MODEL_CLOSE_PORT:
        // Posted from inside the controller's handler: the port is closed
        // once that handler is done with it.
        if (m_model.m_nCapturePhase == CAPTURE_IDLE)
            m_model.m_rfCtrl.Shutdown();
        return 0;
    case WM_MODEL_DEVICES_CHANGED:
        // Cleared first: a change during the look posts again.
        m_model.m_bDevicesChangePosted = false;
        m_model.OnDevicesChanged();
        return 0;
    case WM_TIMER:
        if (wParam == MODEL_RX_TIMER_ID)
            m_model.OnRxTimer();
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
    m_dwConnectTimeoutMs = dwConnectMs;
    m_dwReconnectTimeoutMs = dwReconnectMs;
    m_pcapPipe.SetTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureModel::SetAckTimeoutMs(uint32_t dwMs)
{
    m_dwAckTimeoutMs = dwMs;
    m_rfCtrl.SetAckTimeoutMs(dwMs);
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
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szPath, &nWholeLen);
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
    if (WriteSettingString(SETTINGS_INDEX, "Wireshark", m_strPath.c_str()) != 1)
        LogWriteFailure("Wireshark");
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
// pipe's client is cut off. Once per dialog: leaving twice sends nothing more.
void CCaptureModel::RunExitSteps()
{
    if (m_bExitStepsDone)
        return;
    m_bExitStepsDone = true;
    m_wnd.KillTimer(MODEL_RX_TIMER_ID);
    m_rfCtrl.StopCapture();
    m_rfCtrl.Shutdown();     // lets the stop command leave before the port closes
    DisconnectPipe();
    if (m_eCaptureMode == ECaptureMode::PcapFile)
        EndFileCapture();   // closed whole; the dialog is ending, nothing is logged
    m_nCapturePhase = CAPTURE_IDLE;
}

void CCaptureModel::LogWriteFailure(const char* pszKey)
{
    LogPrintf("Could not save \"%s\" in %s\n", pszKey, GetSettingsPath());
}
