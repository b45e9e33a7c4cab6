// The Win32 face's Scan: the button beside the channel box, disabled with
// Start while anything runs; the scan window the first survey shows, its
// chart painted from the model's counts; a click on a column takes its
// channel; the channel box busy during a retune.
#include "win32_dialog_harness.h"

#include "res/resource_win32.h"
#include "engine/channels.h"

#include <gtest/gtest.h>

namespace {

std::vector<CSurveyChannel> SurveyWithOneNetwork()
{
    std::vector<CSurveyChannel> vec;
    for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n) {
        CSurveyChannel ch;
        ch.m_nChannel = n;
        ch.m_dwVisits = n < 17 ? 1 : 0;
        vec.push_back(ch);
    }
    vec[15 - CHANNEL_FIRST].m_qwFrames = 40;
    vec[15 - CHANNEL_FIRST].m_vecPanIds = { 0x1a62 };
    return vec;
}

std::string WindowText(HWND hWnd)
{
    char szText[256] = {};
    GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

void Click(HWND hDlg, int nID)
{
    SendMessageA(GetDlgItem(hDlg, nID), BM_CLICK, 0, 0);
}

} // namespace

TEST(Win32ScanDialog, ScanButtonFollowsTheRunningState)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND hDlg) {
        const HWND hScan = GetDlgItem(hDlg, IDC_SCAN);
        ASSERT_NE(hScan, nullptr);
        EXPECT_EQ(WindowText(hScan), "&Scan");
        EXPECT_TRUE(IsWindowEnabled(hScan));
        Click(hDlg, IDC_SCAN);
        dlg.SetRunning(true);
        EXPECT_FALSE(IsWindowEnabled(hScan));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_START)));
        Click(hDlg, IDC_SCAN);   // disabled: not pressed
        dlg.SetRunning(false);
        EXPECT_TRUE(IsWindowEnabled(hScan));
        dlg.ShowRetuning(true);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_CHANNEL)));
        dlg.ShowRetuning(false);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_CHANNEL)));
    });
    EXPECT_EQ(events.m_vecCalls, (std::vector<std::string> { "init", "scan" }));
}

TEST(Win32ScanDialog, TheScanWindowShowsTheBarsAndAClickTakesAChannel)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND) {
        EXPECT_EQ(dlg.GetScanWnd().GetSafeHwnd(), nullptr);
        dlg.ShowSurvey(SurveyWithOneNetwork(), 16, true);
        const HWND hScan = static_cast<HWND>(dlg.GetScanWnd().GetSafeHwnd());
        ASSERT_NE(hScan, nullptr);
        EXPECT_TRUE(IsWindowVisible(hScan));
        EXPECT_EQ(WindowText(hScan), "Channel scan");
        EXPECT_EQ(WindowText(GetDlgItem(hScan, IDC_SCAN_HINT)), STR_SCAN_HINT_RUNNING);
        const HWND hChart = GetDlgItem(hScan, IDC_SCAN_CHART);
        ASSERT_NE(hChart, nullptr);
        char szClass[64] = {};
        GetClassNameA(hChart, szClass, sizeof(szClass));
        EXPECT_STREQ(szClass, "QuillmarkScanChart");
        UpdateWindow(hChart);   // paints without failing

        const std::vector<CScanBar> vecBars = dlg.GetScanWnd().Layout();
        ASSERT_EQ(vecBars.size(), static_cast<size_t>(CHANNEL_COUNT));
        const CScanBar& bar15 = vecBars[15 - CHANNEL_FIRST];
        EXPECT_EQ(bar15.m_vecLabels, (std::vector<std::string> { "15", "0x1a62" }));
        EXPECT_GT(bar15.m_rcBar.m_nBottom - bar15.m_rcBar.m_nTop, 0);
        EXPECT_TRUE(vecBars[16 - CHANNEL_FIRST].m_bNow);
        const int nX = (bar15.m_rcBar.m_nLeft + bar15.m_rcBar.m_nRight) / 2;
        SendMessageA(hChart, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(nX, bar15.m_rcBar.m_nBottom - 1));
        SendMessageA(hChart, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(0, 0));   // the margin: no channel

        dlg.ShowSurvey(SurveyWithOneNetwork(), 0, false);
        EXPECT_EQ(WindowText(GetDlgItem(hScan, IDC_SCAN_HINT)), STR_SCAN_HINT_DONE);
        SendMessageA(hScan, WM_CLOSE, 0, 0);   // hidden, kept for the next scan
        EXPECT_FALSE(IsWindowVisible(hScan));
        dlg.ShowSurvey(SurveyWithOneNetwork(), 11, true);
        EXPECT_TRUE(IsWindowVisible(hScan));
    });
    EXPECT_EQ(events.m_vecCalls, (std::vector<std::string> { "init", "take 15" }));
}
