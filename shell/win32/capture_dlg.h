// The capture dialog's Win32 face: the IDD_MAIN template run modally with
// DialogBoxParamA, showing what the model decides (ICaptureView) and handing
// the user's actions to ICaptureDlgEvents. No <windows.h> here: the model's
// headers declare window-message names of their own, so the model side
// (capture_app_win32.cpp) and this face live in separate files.
#pragma once

#include "shell/model/capture_view.h"
#include "shell/win32/scan_wnd.h"

#include <cstdint>
#include <string>
#include <vector>

// What the user did, in the model's terms (the app forwards to CCaptureModel).
class ICaptureDlgEvents {
public:
    virtual ~ICaptureDlgEvents() = default;
    virtual void OnInitDialog() = 0;
    virtual void OnStart() = 0;
    virtual void OnStop() = 0;
    virtual void OnExit() = 0;
    virtual void OnCancel() = 0;          // Escape and the close box
    virtual void OnBrowse() = 0;
    virtual void OnRefreshDevices() = 0;
    virtual void OnDevicesChanged() = 0;   // the system says devices came or went
    virtual void OnDeviceChosen(int32_t nIndex) = 0;   // index in the model's list
    virtual void OnChannelChosen(int32_t nIndex) = 0;  // 0 is channel 11
    virtual void OnPathTyped(const std::string& strPath) = 0;
    virtual void OnModeChosen(ECaptureMode eMode) = 0;   // a radio button clicked
    virtual void OnSysCommand(uint32_t nID) = 0;
    virtual void OnScan() = 0;
    virtual void OnTakeChannel(int32_t nChannel) = 0;   // 11..26, clicked in the scan window
};

// What DoModal returns for each way out.
constexpr int32_t CAPTURE_DLG_EXIT = 1;     // IDOK
constexpr int32_t CAPTURE_DLG_CANCEL = 2;   // IDCANCEL
constexpr int32_t CAPTURE_DLG_SIGNAL = 3;   // IDABORT
constexpr int32_t CAPTURE_DLG_FAILED = -1;  // the dialog could not be created

// A log text as the edit control holds it: each LF becomes CR LF.
std::string LogTextForEdit(const std::string& strText);

class CCaptureDlgWin32 : public ICaptureView {
public:
    explicit CCaptureDlgWin32(void* hInstance);
    ~CCaptureDlgWin32() override;
    CCaptureDlgWin32(const CCaptureDlgWin32&) = delete;
    CCaptureDlgWin32& operator=(const CCaptureDlgWin32&) = delete;

    void SetEvents(ICaptureDlgEvents* pEvents) { m_pEvents = pEvents; }
    int32_t DoModal();
    void* GetSafeHwnd() const { return m_hWnd; }   // null while not shown

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
    const CScanWndWin32& GetScanWnd() const { return m_scanWnd; }

private:
    friend struct CCaptureDlgProc;

    bool OnInitDialog(void* hWnd);
    void AddChannelItems();
    void AddAboutCommand();
    void SetIcons();
    bool OnCommand(uint32_t nID, uint32_t nCode);
    void SelectByData(int32_t nCtrlID, intptr_t nData);
    int32_t SelectedData(int32_t nCtrlID) const;
    void MoveFocusOff(int32_t nCtrlID, int32_t nToID);

    void* m_hInstance;
    void* m_hWnd;
    void* m_hIconBig;
    void* m_hIconSmall;
    ICaptureDlgEvents* m_pEvents;
    bool m_bShowingPath;   // the path box's own change notices are not the user's typing
    bool m_bDevicesChangePosted;   // a device notice waits in the queue
    CScanWndWin32 m_scanWnd;       // made at the first scan
};
