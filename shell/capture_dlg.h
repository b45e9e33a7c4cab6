// The main dialog: the controls, the capture controller and the pipe link to
// Wireshark, the start-up sequence, and the handlers of every control and of
// the controller's notifications (sent to it as CMsgTarget messages).
//
// Frames never pass through the window thread: the controller cuts them on
// the serial reader thread and hands them to m_forwarder, which feeds the
// pipe link's queue. The window only starts and stops, reports the pipe
// link's events (queued over from its writer thread) and shows the counters.
#pragma once

#include "link/frame_forwarder.h"
#include "link/msg_wnd.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_pipe.h"
#include "shell/dlg_ids.h"

#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
namespace Ui { class CCaptureDlgUi; }

class CCaptureDlg : public QDialog, public CMsgTarget {
    Q_OBJECT

public:
    explicit CCaptureDlg(QWidget* pParent = nullptr);
    ~CCaptureDlg() override;

    // Runs OnInitDialog (once), then the dialog modally; returns its result.
    int DoModal();
    // The start-up sequence: About command and icons, settings path and ports
    // directory, device list, channel, Wireshark path, controller window.
    bool OnInitDialog();

    // Sent messages: WM_LOG_TEXT, WM_RF_STATUS and WM_RF_LINE_LOST.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    QWidget* GetDlgItem(int32_t nID) const;
    // The pipe link's waits for Wireshark (tests shorten them).
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    // The controller's acknowledgement wait (tests shorten it).
    void SetAckTimeoutMs(uint32_t dwMs);
    // false: the Rx label and the path box show m_strRxCount and
    // m_strWiresharkPath. true: the path box's text goes into m_strWiresharkPath.
    void UpdateData(bool bSaveAndValidate);

    // Every id from IDM_ABOUTBOX to IDM_ABOUTBOX + 15 opens the About box.
    void OnSysCommand(uint32_t nID, LPARAM lParam);
    void OnBrowse();
    void OnExit();
    // Escape and the close box: Exit's steps, then the dialog ends as cancelled.
    void reject() override;
    // SIGINT, SIGTERM or SIGHUP: Exit's steps; modal boxes above the dialog close too.
    void OnExitSignal(int32_t nSignal);
    void LoadWiresharkPath();
    void OnEditWiresharkPath();

    // Serial device discovery and the two combo boxes.
    void FillDeviceList();
    void SelectStoredChannel();
    void OnSelChangeDevice();
    void OnSelChangeChannel();
    void OnRefreshDevices();

    // Start, stop and what happens during a capture.
    void OnStart();
    void OnStop();
    LRESULT OnRfStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnRfLineLost(WPARAM wParam, LPARAM lParam);
    LRESULT OnLogText(WPARAM wParam, LPARAM lParam);
    // A pipe link event, on the window thread; dwGeneration tells events of
    // an earlier Open (already disconnected) from current ones.
    void OnPipeEvent(int32_t nEvent, uint32_t dwGeneration);
    // The Rx label's timer: the controller's frame-byte count.
    void OnRxTimer();
    // Shows "Rx : N" when N differs from what the label shows.
    void RefreshRxLabel(uint64_t qwDataBytes);

    // A capture in one of its phases (m_nCapturePhase).
    static constexpr int32_t CAPTURE_IDLE = 0;
    static constexpr int32_t CAPTURE_WAIT_WIRESHARK = 1;   // launched, waiting for it to connect
    static constexpr int32_t CAPTURE_RUNNING = 2;           // port open (m_bCapturing = 1)

protected:
    // Computes the settings path (InitSettingsPath); tests point it elsewhere.
    virtual void ComputeSettingsPath();
    // Asks the user for the Wireshark executable; empty when cancelled.
    virtual QString ChooseWiresharkFile();

private:
    // Hands pipe events from the writer thread to the window thread.
    class CPipeEventRelay : public IPcapPipeEvents {
    public:
        explicit CPipeEventRelay(CCaptureDlg& dlg) : m_dlg(dlg) {}
        void OnPipeEvent(int32_t nEvent) override;

    private:
        CCaptureDlg& m_dlg;
    };

    void AddDeviceItem(const QString& strName, int32_t nPort);
    void LogWriteFailure(const char* pszKey);
    void LogPortOpenFailure();
    void LogPipeOpenFailure(const char* pszPath);
    // The Wireshark path for Start: the path box's text, saved when it was
    // changed. False (and the reason logged) when it cannot be used.
    bool TakeWiresharkPath(QByteArray& byPath);
    void OnWiresharkConnected();
    void OnWiresharkConnectFailed();
    void EndCapture();          // the Stop steps without the log lines
    void DisconnectPipe();      // also makes events still queued stale
    void LogCaptureSummary();
    void RunExitSteps();
    void FixRxLabelSize();

    std::unique_ptr<Ui::CCaptureDlgUi> m_pUi;
    CPipeEventRelay m_pipeEvents;   // called by the pipe's writer thread: outlives the pipe link
    bool m_bInitDone;
    bool m_bExitStepsDone;
    QAction* m_pActAbout;
    uint32_t m_dwConnectTimeoutMs;
    uint32_t m_dwReconnectTimeoutMs;
    uint32_t m_dwAckTimeoutMs;
    QByteArray m_byLaunchPath;      // the program the last Start launched
    size_t m_nStoredPathCutLen;     // length of a stored path too long for the setting, else 0
    std::atomic<uint32_t> m_dwPipeGeneration;
    int32_t m_nCapturePhase;
    CRfCounters m_countersAtStart;  // the controller's counters when the capture started
    CPcapPipeStats m_statsAtStart;  // the pipe link's at the same time
    QTimer m_timerRx;

public:
    QPlainTextEdit* m_editLog;
    QComboBox* m_comboDevice;
    QComboBox* m_comboChannel;
    QPushButton* m_btnBrowse;
    QPushButton* m_btnRefresh;
    QPushButton* m_btnStart;
    QPushButton* m_btnExit;
    QPushButton* m_btnStop;
    QString m_strRxCount;
    QString m_strWiresharkPath;
    QIcon m_hIcon;
    // The reader thread feeds m_forwarder: it outlives the controller.
    CFrameForwarder m_forwarder;
    CRFCtrl m_rfCtrl;
    CPcapPipe m_pcapPipe;
    int64_t m_nRxBytes;             // frame bytes the Rx label shows
    int32_t m_bCapturing;
};
