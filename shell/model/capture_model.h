// The capture dialog without a toolkit: the handlers of every control, the
// settings writes, the log box, and what the face shows (through
// ICaptureView). A Qt dialog and a Win32 dialog are faces. The capture itself
// is the engine's: the model starts and stops it on the port and channel the
// boxes show, shows the engine's lines in the log and its counters in the Rx
// label. Everything here runs on the window thread unless said otherwise.
#pragma once

#include "devices/device_source.h"
#include "devices/device_watch.h"
#include "engine/capture_engine.h"
#include "link/msg_wnd.h"
#include "shell/model/capture_view.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Posted to the model's own window.
constexpr uint32_t WM_MODEL_DEVICES_CHANGED = WM_USER + 8;   // from the device watcher's thread
constexpr uint32_t WM_MODEL_RETUNE = WM_USER + 9;            // the box's channel, once the engine's handler is done
constexpr uint32_t IDC_MODEL_WND = 111;

class CCaptureModel : public CMsgTarget, private ICaptureEngineEvents {
public:
    // Both must outlive the model.
    CCaptureModel(ICaptureView& view, IDeviceSource& devices);
    ~CCaptureModel() override;
    CCaptureModel(const CCaptureModel&) = delete;
    CCaptureModel& operator=(const CCaptureModel&) = delete;

    // LogPrintf's texts come here from now on, until the model is destroyed.
    void AttachLog();
    // How the settings path is found (tests point it elsewhere); before OnInitDialog.
    void SetSettingsPathSource(std::function<void()> fnCompute);
    // The start-up sequence: blank Rx and path, settings path and ports
    // directory, device list, channel, Wireshark path, the engine's windows.
    void OnInitDialog();

    // Sent messages: WM_LOG_TEXT.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    // The controls.
    void OnStart();
    void OnStop();
    void OnExit();
    void OnCancel();                  // Escape and the close box
    void OnExitSignal(int32_t nSignal);
    void OnDeviceChosen(int32_t nIndex);
    // A pick during a capture retunes it (once the dongle sniffs, and again
    // after a retune when the box moved on meanwhile).
    void OnChannelChosen(int32_t nIndex);
    // Scan: every channel for the scan's dwell, one sweep, on the device the
    // box shows; the view's ShowSurvey follows it live. Stop ends it.
    void OnScan();
    // A channel (11..26) taken from the scan: the box and the settings hold
    // it, as when picked in the box.
    void OnTakeChannel(int32_t nChannel);
    void OnPathTyped(const std::string& strPath);   // what the user types is the path from now on
    void OnModeChosen(ECaptureMode eMode);           // a radio button; a running capture goes on as it is
    void OnBrowse();
    void OnRefreshDevices();
    // Who tells the model that devices came or went (none: only "..."
    // rescans). It must outlive the model; set before OnInitDialog.
    void SetDeviceWatch(IDeviceWatch* pWatch) { m_pDeviceWatch = pWatch; }
    // The device set may have changed (the watcher, the face's own device
    // notices): the list is made again, keeping the selected port while it
    // is present. Writes no setting and leaves a capture alone.
    void OnDevicesChanged();
    void OnSysCommand(uint32_t nID);  // IDM_ABOUTBOX .. IDM_ABOUTBOX + 15: About
    // The boxes filled from discovery and the settings, as at start-up: only
    // the stored port may be selected; a stored channel outside 11..26 shows
    // the first. Nothing is written.
    void FillDeviceList();
    void SelectStoredChannel();

    // The engine's waits (tests shorten them).
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    void SetAckTimeoutMs(uint32_t dwMs);
    void SetResumeWaitMs(uint32_t dwMs);
    void SetScanDwellMs(uint32_t dwMs);   // CHANNEL_DWELL_MIN_MS..CHANNEL_DWELL_MAX_MS

    // Shows "Rx : N" when N differs from what is shown.
    void RefreshRxLabel(uint64_t qwDataBytes);

    // What the face shows now.
    const std::vector<CDeviceItem>& GetDevices() const { return m_vecDevices; }
    int32_t GetSelectedDevice() const { return m_nDeviceSel; }
    int32_t GetChannelIndex() const { return m_nChannelSel; }
    const std::string& GetPath() const { return m_eMode == ECaptureMode::PcapFile ? m_strPcapPath : m_strPath; }
    const std::string& GetPcapPath() const { return m_strPcapPath; }
    ECaptureMode GetMode() const { return m_eMode; }
    const std::string& GetRxText() const { return m_strRxCount; }
    int64_t GetRxBytes() const { return m_nRxBytes; }
    bool IsRunning() const { return m_bRunning; }
    bool IsScanning() const { return m_bScanning; }
    ECapturePhase GetCapturePhase() const { return m_engine.GetPhase(); }
    // The capture engine: its counters and statistics, and the seams tests use.
    CCaptureEngine& GetEngine() { return m_engine; }
    const CCaptureEngine& GetEngine() const { return m_engine; }

private:
    // The model's own window: the device watcher's posts.
    class CModelWnd : public CMsgWnd {
    public:
        explicit CModelWnd(CCaptureModel& model) : m_model(model) {}

    protected:
        LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    private:
        CCaptureModel& m_model;
    };

    // The engine's events.
    void OnEngineLine(const std::string& strLine) override;
    void OnEngineProgress() override;
    void OnEngineEnded(ESessionEnd eEnd) override;
    void OnEngineChannel(int32_t nChannel) override;
    void OnEngineDwellDone(int32_t nChannel) override;

    void OnLogText(const char* pszText);
    void SetRunning(bool bRunning);
    void ShowPathAndRx();
    void LogWriteFailure(const char* pszKey);
    bool TakeWiresharkPath(std::string& strPath);
    void RunExitSteps();
    CCaptureTarget TargetShown() const;
    void StartDeviceWatch();
    std::vector<CDeviceItem> ListPresentDevices();
    // The Wireshark path and "Save to .pcap file" (capture_model_file.cpp).
    void LoadWiresharkPath();
    void LoadCaptureMode();
    void ShowMode();
    void BrowsePcapFile();
    bool TakePcapPath(std::string& strPath);
    bool OpenPcapFile(const std::string& strPath);
    void StartFileCapture(const CCaptureTarget& target);
    // The scan and the retune (capture_model_scan.cpp).
    void ShowSurveyNow(bool bRunning);
    void EndScan(ESessionEnd eEnd);
    void RetuneToBox();
    void ShowRetuning(bool bRetuning);

    ICaptureView& m_view;
    IDeviceSource& m_devices;
    std::function<void()> m_fnSettingsPath;
    CModelWnd m_wnd;                // gets the watcher's posts
    bool m_bExitStepsDone;
    size_t m_nStoredPathCutLen;     // length of a stored path too long for the setting, else 0
    std::vector<CDeviceItem> m_vecDevices;
    int32_t m_nDeviceSel;
    int32_t m_nChannelSel;
    std::string m_strPath;
    std::string m_strRxCount;
    int64_t m_nRxBytes;             // frame bytes the Rx text shows
    bool m_bRunning;                // what the buttons show: Start disabled, Stop enabled
    ECaptureMode m_eMode;           // the radio button checked
    std::string m_strPcapPath;      // the file the path box names in PcapFile mode
    bool m_bReplaceChosen;          // m_strPcapPath came from the save dialog, which asked about replacing
    bool m_bScanning = false;       // the engine runs a scan, not a capture
    uint32_t m_dwScanDwellMs;
    bool m_bRetuneShown = false;    // the view shows the box busy with a retune
    IDeviceWatch* m_pDeviceWatch = nullptr;
    std::atomic<bool> m_bDevicesChangePosted { false };   // one post waits in the queue at most
    CCaptureEngine m_engine;        // last: its reader thread goes first
};
