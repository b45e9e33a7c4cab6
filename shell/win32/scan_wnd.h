// The scan window of the Win32 face: the IDD_SCAN template as a modeless
// window owned by the main dialog, its chart a window class of ours that
// paints LayoutScanChart with GDI and hands a clicked column's channel on.
// No <windows.h> here, as in capture_dlg.h.
#pragma once

#include "shell/model/scan_chart.h"

#include <cstdint>
#include <functional>
#include <vector>

class CScanWndWin32 {
public:
    CScanWndWin32() = default;
    ~CScanWndWin32();
    CScanWndWin32(const CScanWndWin32&) = delete;
    CScanWndWin32& operator=(const CScanWndWin32&) = delete;

    // fnTake gets the channel (11..26) the user clicked.
    void SetOnTake(std::function<void(int32_t)> fnTake) { m_fnTake = std::move(fnTake); }
    // A new scan makes (the first time) and shows the window over hOwner.
    void ShowSurvey(void* hInstance, void* hOwner, const std::vector<CSurveyChannel>& vecChannels,
        int32_t nChannelNow, bool bRunning);
    void* GetSafeHwnd() const { return m_hWnd; }   // null until the first scan, and once its owner is gone
    // The bars as the chart paints them now (tests click them).
    std::vector<CScanBar> Layout() const;

private:
    friend struct CScanWndProc;

    bool Create(void* hInstance, void* hOwner);
    void Paint(void* hChart);
    void OnChartClick(int32_t nX, int32_t nY);

    void* m_hWnd = nullptr;
    std::function<void(int32_t)> m_fnTake;
    std::vector<CSurveyChannel> m_vecChannels;
    int32_t m_nChannelNow = 0;
    bool m_bRunning = false;
};
