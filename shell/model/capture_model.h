// The capture dialog without a toolkit: the capture controller, the pipe link
// to Wireshark, the start-up sequence, the handlers of every control and of
// the controller's notifications, the settings writes, and what the face
// shows (through ICaptureView). A Qt dialog and a Win32 dialog are faces.
//
// Frames never pass through the window thread: the controller cuts them on
// the serial reader thread and hands them to m_forwarder, which feeds the
// pipe link's queue, or the pcap file in "Save to .pcap file" mode. The
// model only starts and stops, reports the pipe link's events (posted over
// from its writer thread to m_wnd) and shows the counters.
// Everything here runs on the window thread unless said otherwise.
#pragma once

#include "link/frame_forwarder.h"
#include "link/msg_wnd.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_file.h"
#include "pcap/pcap_pipe.h"
#include "shell/model/capture_view.h"
#include "devices/device_source.h"
#include "engine/record_switch.h"
#include "devices/device_watch.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Posted to the model's own window.
constexpr uint32_t WM_MODEL_PIPE_EVENT = WM_USER + 1;   // wParam: PIPE_EVENT_*, lParam: generation
constexpr uint32_t WM_MODEL_CLOSE_PORT = WM_USER + 2;   // the port after the device went away
constexpr uint32_t WM_MODEL_DEVICES_CHANGED = WM_USER + 8;   // from the device watcher's thread
constexpr uint32_t MODEL_RX_TIMER_ID = 1;
constexpr uint32_t IDC_MODEL_WND = 111;

class CCaptureModel : public CMsgTarget {
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
    // directory, device list, channel, Wireshark path, controller window.
    void OnInitDialog();

    // Sent messages: WM_LOG_TEXT, WM_RF_STATUS and WM_RF_LINE_LOST.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    // The controls.
    void OnStart();
    void OnStop();
    void OnExit();
    void OnCancel();                  // Escape and the close box
    void OnExitSignal(int32_t nSignal);
    void OnDeviceChosen(int32_t nIndex);
    void OnChannelChosen(int32_t nIndex);
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
    void FillDeviceList();
    void SelectStoredChannel();
    void LoadWiresharkPath();
    void LoadCaptureMode();

    // The pipe link's waits (tests shorten them), the controller's ack wait.
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    void SetAckTimeoutMs(uint32_t dwMs);

    // A pipe link event; dwGeneration tells events of an earlier Open
    // (already disconnected) from current ones.
    void OnPipeEvent(int32_t nEvent, uint32_t dwGeneration);
    void OnRxTimer();
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
    bool IsRunning() const { return m_bRunning; }
    int32_t GetCapturePhase() const { return m_nCapturePhase; }

    // A capture in one of its phases (m_nCapturePhase).
    static constexpr int32_t CAPTURE_IDLE = 0;
    static constexpr int32_t CAPTURE_WAIT_WIRESHARK = 1;   // launched, waiting for it to connect
    static constexpr int32_t CAPTURE_RUNNING = 2;           // port open (m_bCapturing = 1)

private:
    // Pipe writer thread: posts the event to m_wnd, nothing more.
    class CPipeEventRelay : public IPcapPipeEvents {
    public:
        explicit CPipeEventRelay(CCaptureModel& model) : m_model(model) {}
        void OnPipeEvent(int32_t nEvent) override;

    private:
        CCaptureModel& m_model;
    };
    // The model's own window: pipe events, the deferred port close, the Rx timer.
    class CModelWnd : public CMsgWnd {
    public:
        explicit CModelWnd(CCaptureModel& model) : m_model(model) {}

    protected:
        LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    private:
        CCaptureModel& m_model;
    };

    void OnLogText(const char* pszText);
    LRESULT OnRfStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnRfLineLost();
    void SetRunning(bool bRunning);
    void ShowPathAndRx();
    void LogWriteFailure(const char* pszKey);
    void LogPortOpenFailure();
    void LogPipeOpenFailure(const char* pszPath);
    bool TakeWiresharkPath(std::string& strPath);
    void OnWiresharkConnected();
    void OnWiresharkConnectFailed();
    void EndCapture();
    void DisconnectPipe();
    void LogCaptureSummary();
    void RunExitSteps();
    // "Save to .pcap file" (capture_model_file.cpp).
    void ShowMode();
    void BrowsePcapFile();
    bool TakePcapPath(std::string& strPath);
    bool OpenPcapFile(const std::string& strPath);
    void StartFileCapture();
    void EndFileCapture();
    void CheckFileWrites();
    void LogFileSummary();
    void StartDeviceWatch();
    std::vector<CDeviceItem> ListPresentDevices();

    ICaptureView& m_view;
    IDeviceSource& m_devices;
    std::function<void()> m_fnSettingsPath;
    CPipeEventRelay m_pipeEvents;   // called by the pipe's writer thread: outlives the pipe link
    CModelWnd m_wnd;                // gets the writer thread's posts: outlives the pipe link
    bool m_bExitStepsDone;
    uint32_t m_dwConnectTimeoutMs;
    uint32_t m_dwReconnectTimeoutMs;
    uint32_t m_dwAckTimeoutMs;
    std::string m_strLaunchPath;    // the program the last Start launched
    size_t m_nStoredPathCutLen;     // length of a stored path too long for the setting, else 0
    std::atomic<uint32_t> m_dwPipeGeneration;
    int32_t m_nCapturePhase;
    CRfCounters m_countersAtStart;  // the controller's counters when the capture started
    CPcapPipeStats m_statsAtStart;  // the pipe link's at the same time
    std::vector<CDeviceItem> m_vecDevices;
    int32_t m_nDeviceSel;
    int32_t m_nChannelSel;
    std::string m_strPath;
    std::string m_strRxCount;
    bool m_bRunning;
    ECaptureMode m_eMode;           // the radio button checked
    ECaptureMode m_eCaptureMode;    // where the capture that runs now goes
    std::string m_strPcapPath;      // the file the path box names in PcapFile mode
    bool m_bReplaceChosen;          // m_strPcapPath came from the save dialog, which asked about replacing
    bool m_bFileCreated;            // this capture's file is a new one (nothing was replaced)
    std::string m_strFileInCapture; // the file the running (or last) file capture writes
    std::string m_strFileOutcome;   // where and how many, logged after Stop's summary
    CPcapFileStats m_fileAtStart;   // the file's statistics when its capture started
    CPcapFileStats m_fileAtEnd;     // and when it was closed
    CPcapFile m_pcapFile;           // the capture side writes it through m_recordSwitch
    CRecordSwitch m_recordSwitch;   // the forwarder's sink: the pipe link or m_pcapFile
    IDeviceWatch* m_pDeviceWatch = nullptr;
    std::atomic<bool> m_bDevicesChangePosted { false };   // one post waits in the queue at most

public:
    // The reader thread feeds m_forwarder: it outlives the controller.
    CFrameForwarder m_forwarder;
    CRFCtrl m_rfCtrl;
    CPcapPipe m_pcapPipe;
    int64_t m_nRxBytes;             // frame bytes the Rx text shows
    int32_t m_bCapturing;
};
