// The Win32 dialog tests' harness: the IDD_MAIN template run modally, the
// test's steps run on the dialog's thread (a thread timer inside the modal
// loop), a recording sink standing in for the model.
#pragma once

#include "shell/win32/capture_dlg.h"

#include <functional>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

constexpr UINT STEP_TIMER_MS = 10;

class CRecordEvents : public ICaptureDlgEvents {
public:
    std::vector<std::string> m_vecCalls;
    void OnInitDialog() override { m_vecCalls.push_back("init"); }
    void OnStart() override { m_vecCalls.push_back("start"); }
    void OnStop() override { m_vecCalls.push_back("stop"); }
    void OnExit() override { m_vecCalls.push_back("exit"); }
    void OnCancel() override { m_vecCalls.push_back("cancel"); }
    void OnBrowse() override { m_vecCalls.push_back("browse"); }
    void OnRefreshDevices() override { m_vecCalls.push_back("refresh"); }
    void OnDevicesChanged() override { m_vecCalls.push_back("devices"); }
    void OnDeviceChosen(int32_t n) override { m_vecCalls.push_back("device " + std::to_string(n)); }
    void OnChannelChosen(int32_t n) override { m_vecCalls.push_back("channel " + std::to_string(n)); }
    void OnPathTyped(const std::string& s) override { m_vecCalls.push_back("path " + s); }
    void OnModeChosen(ECaptureMode e) override { m_vecCalls.push_back("mode " + std::to_string(static_cast<int>(e))); }
    void OnSysCommand(uint32_t n) override { m_vecCalls.push_back("sys " + std::to_string(n)); }
    void OnScan() override { m_vecCalls.push_back("scan"); }
    void OnTakeChannel(int32_t n) override { m_vecCalls.push_back("take " + std::to_string(n)); }
};

// The steps run once the modal loop turns; the dialog then ends with Exit.
inline std::function<void(CCaptureDlgWin32&, HWND)> g_fnSteps;
inline CCaptureDlgWin32* g_pDlg = nullptr;

inline void CALLBACK OnStepTimer(HWND, UINT, UINT_PTR idTimer, DWORD)
{
    KillTimer(nullptr, idTimer);
    HWND hDlg = static_cast<HWND>(g_pDlg->GetSafeHwnd());
    g_fnSteps(*g_pDlg, hDlg);
    g_pDlg->EndDialog(ECaptureEnd::Exit);
}

inline int32_t RunDialog(CRecordEvents& events, std::function<void(CCaptureDlgWin32&, HWND)> fnSteps)
{
    CCaptureDlgWin32 dlg(GetModuleHandleA(nullptr));
    dlg.SetEvents(&events);
    g_pDlg = &dlg;
    g_fnSteps = std::move(fnSteps);
    SetTimer(nullptr, 0, STEP_TIMER_MS, OnStepTimer);
    return dlg.DoModal();
}
