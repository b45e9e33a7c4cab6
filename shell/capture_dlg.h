// The main dialog: the controls, the capture controller and the pipe link to
// Wireshark, the start-up sequence, and the handlers of every control and of
// the controller's notifications (sent to it as CMsgTarget messages).
#pragma once

#include "link/msg_wnd.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_pipe.h"
#include "shell/dlg_ids.h"

#include <QDialog>
#include <QIcon>
#include <QString>

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

    // Sent messages: WM_LOG_TEXT, WM_RF_STATUS and WM_RF_FRAME.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    QWidget* GetDlgItem(int32_t nID) const;
    // The pipe link's waits for Wireshark (tests shorten them).
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    // Only the direction "members into controls" exists: the Rx label and the
    // path box show m_strRxCount and m_strWiresharkPath.
    void UpdateData(bool bSaveAndValidate);

    // Every id from IDM_ABOUTBOX to IDM_ABOUTBOX + 15 opens the About box.
    void OnSysCommand(uint32_t nID, LPARAM lParam);
    void OnBrowse();
    void OnExit();
    void LoadWiresharkPath();

    // Serial device discovery and the two combo boxes.
    void FillDeviceList();
    void SelectStoredChannel();
    void OnSelChangeDevice();
    void OnSelChangeChannel();
    void OnRefreshDevices();

    // Start, stop and frame forwarding.
    void OnStart();
    void OnStop();
    LRESULT OnRfStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnRfFrame(WPARAM wParam, LPARAM lParam);
    LRESULT OnLogText(WPARAM wParam, LPARAM lParam);

    // Frame bytes counted since the Rx label was last refreshed; starts at
    // the threshold so that the run's first frame shows at once.
    static int32_t s_nRxBytesSinceUpdate;

protected:
    // Computes the settings path (InitSettingsPath); tests point it elsewhere.
    virtual void ComputeSettingsPath();
    // Asks the user for the Wireshark executable; empty when cancelled.
    virtual QString ChooseWiresharkFile();

private:
    void AddDeviceItem(const QString& strName, int32_t nPort);
    void LogWriteFailure(const char* pszKey);
    void LogPortOpenFailure();
    void LogPipeOpenFailure(const char* pszPath);

    std::unique_ptr<Ui::CCaptureDlgUi> m_pUi;
    bool m_bInitDone;
    QAction* m_pActAbout;
    uint64_t m_qwLostAtStart;   // controller's lost-byte count when the capture started
    uint32_t m_dwConnectTimeoutMs;

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
    CRFCtrl m_rfCtrl;
    CPcapPipe m_pcapPipe;
    int64_t m_nRxBytes;
    int32_t m_bCapturing;
};
