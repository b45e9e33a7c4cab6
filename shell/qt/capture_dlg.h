// The main dialog, the Qt face of CCaptureModel: it shows what the model
// decides and hands every control's action to it. The model holds the
// capture controller, the pipe link and all of the dialog's logic.
#pragma once

#include "link/msg_wnd.h"
#include "shell/model/capture_model.h"
#include "shell/model/capture_view.h"
#include "devices/device_source.h"
#include "devices/device_watch.h"
#include "shell/model/dlg_ids.h"

#include <QDialog>
#include <QIcon>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QPlainTextEdit;
class QPushButton;
class CScanDlg;
namespace Ui { class CCaptureDlgUi; }

class CCaptureDlg : public QDialog, public CMsgTarget, private ICaptureView {
    Q_OBJECT

public:
    explicit CCaptureDlg(QWidget* pParent = nullptr);
    ~CCaptureDlg() override;

    // Runs OnInitDialog (once), then the dialog modally; returns its result.
    int DoModal();
    // The About command and icons, then the model's start-up sequence.
    bool OnInitDialog();

    // Sent messages go to the model (WM_LOG_TEXT, WM_RF_STATUS, WM_RF_LINE_LOST).
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    QWidget* GetDlgItem(int32_t nID) const;
    // The pipe link's waits and the controller's ack wait (tests shorten them).
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    void SetAckTimeoutMs(uint32_t dwMs);

    void OnSysCommand(uint32_t nID, LPARAM lParam);
    void OnBrowse() { m_model.OnBrowse(); }
    void OnExit() { m_model.OnExit(); }
    // Escape and the close box: Exit's steps, then the dialog ends as cancelled.
    void reject() override;
    // SIGINT, SIGTERM or SIGHUP: Exit's steps; modal boxes above the dialog close too.
    void OnExitSignal(int32_t nSignal) { m_model.OnExitSignal(nSignal); }

    void FillDeviceList() { m_model.FillDeviceList(); }
    void SelectStoredChannel() { m_model.SelectStoredChannel(); }
    void OnSelChangeDevice();
    void OnSelChangeChannel();
    void OnRefreshDevices() { m_model.OnRefreshDevices(); }
    void OnStart() { m_model.OnStart(); }
    void OnStop() { m_model.OnStop(); }
    void OnScan() { m_model.OnScan(); }
    // The scan window; null before the first scan.
    CScanDlg* GetScanDlg() const { return m_pScanDlg; }
    void RefreshRxLabel(uint64_t qwDataBytes) { m_model.RefreshRxLabel(qwDataBytes); }

protected:
    // Computes the settings path (InitSettingsPath); tests point it elsewhere.
    virtual void ComputeSettingsPath();
    // Asks the user for the Wireshark executable; empty when cancelled.
    virtual QString ChooseWiresharkFile();
    // Asks for the file to save the capture in (the dialog asks before an
    // existing file is chosen); empty when cancelled.
    virtual QString ChoosePcapFile();

private:
    // ICaptureView
    void ShowDevices(const std::vector<CDeviceItem>& vecItems, int32_t nSelected) override;
    void ShowChannel(int32_t nIndex) override;
    void ShowPath(const std::string& strPath) override;
    void ShowRx(const std::string& strText) override;
    void SetRunning(bool bRunning) override;
    int32_t CountLogLines() const override;
    void AppendLog(const std::string& strText) override;
    void ReplaceLog(const std::string& strText) override;
    bool ChooseProgramFile(std::string& strPath) override;
    void ShowAbout() override;
    void EndDialog(ECaptureEnd eHow) override;
    void ShowMode(ECaptureMode eMode, const std::string& strPathLabel) override;
    bool ChooseSaveFile(std::string& strPath) override;
    bool ConfirmOverwrite(const std::string& strPath) override;
    void ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning) override;
    void ShowRetuning(bool bRetuning) override;

    void InsertLogText(const std::string& strText, bool bReplace);
    void FixRxLabelSize();

    std::unique_ptr<Ui::CCaptureDlgUi> m_pUi;
    bool m_bInitDone;
    QAction* m_pActAbout;
    CScanDlg* m_pScanDlg;   // a child: made at the first scan, goes with the dialog
    CSystemDeviceSource m_devices;
    CDeviceWatch m_deviceWatch;

public:
    QPlainTextEdit* m_editLog;
    QComboBox* m_comboDevice;
    QComboBox* m_comboChannel;
    QPushButton* m_btnBrowse;
    QPushButton* m_btnRefresh;
    QPushButton* m_btnStart;
    QPushButton* m_btnExit;
    QPushButton* m_btnStop;
    QIcon m_hIcon;
    CCaptureModel m_model;
};
