// The Win32 face in its own process: the IDD_MAIN template run modally, each
// step driven on the dialog's thread (a thread timer inside the modal loop)
// with the messages a user's actions produce; a recording sink stands in for
// the model. Also the discovery's merge of SERIALCOMM ports.
#include "win32_dialog_harness.h"

#include "res/resource_win32.h"
#include "shell/win32/capture_dlg.h"
#include "engine/channels.h"
#include "devices/device_source.h"
#include "devices/device_source_win32.h"
#include "devices/device_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <dbt.h>

namespace {

std::string ComboText(HWND hDlg, int nID, int nIndex)
{
    wchar_t szText[256] = {};
    SendDlgItemMessageW(hDlg, nID, CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(szText));
    char szUtf8[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, szText, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
    return szUtf8;
}

std::string ItemText(HWND hDlg, int nID)
{
    char szText[4096] = {};
    GetDlgItemTextA(hDlg, nID, szText, sizeof(szText));
    return szText;
}

void Choose(HWND hDlg, int nID, int nIndex)
{
    SendDlgItemMessageA(hDlg, nID, CB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
    SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(nID, CBN_SELCHANGE), reinterpret_cast<LPARAM>(GetDlgItem(hDlg, nID)));
}

TEST(Win32Dialog, StartUpShowsTheChannelsTheAboutCommandAndTheIcon)
{
    CRecordEvents events;
    const int32_t nEnd = RunDialog(events, [](CCaptureDlgWin32&, HWND hDlg) {
        ASSERT_EQ(SendDlgItemMessageA(hDlg, IDC_CHANNEL, CB_GETCOUNT, 0, 0), 16);
        EXPECT_EQ(ComboText(hDlg, IDC_CHANNEL, 0), "11 (0x0B)  2.405 GHz");
        EXPECT_EQ(ComboText(hDlg, IDC_CHANNEL, 8), "19 (0x13)  2.445 GHz");
        EXPECT_EQ(ComboText(hDlg, IDC_CHANNEL, 15), "26 (0x1A)  2.480 GHz");
        HMENU hMenu = GetSystemMenu(hDlg, FALSE);
        const int nItems = GetMenuItemCount(hMenu);
        ASSERT_GE(nItems, 2);
        EXPECT_NE(GetMenuState(hMenu, static_cast<UINT>(nItems - 2), MF_BYPOSITION) & MF_SEPARATOR, 0u);
        char szItem[64] = {};
        GetMenuStringA(hMenu, static_cast<UINT>(nItems - 1), szItem, sizeof(szItem), MF_BYPOSITION);
        EXPECT_STREQ(szItem, "&About Quillmark...");
        EXPECT_EQ(GetMenuItemID(hMenu, nItems - 1), static_cast<UINT>(IDM_ABOUTBOX));
        EXPECT_NE(SendMessageA(hDlg, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_NE(SendMessageA(hDlg, WM_GETICON, ICON_SMALL, 0), 0);
        EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_MODE_WIRESHARK), static_cast<UINT>(BST_CHECKED));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_STOP)));
    });
    EXPECT_EQ(nEnd, CAPTURE_DLG_EXIT);
    ASSERT_FALSE(events.m_vecCalls.empty());
    EXPECT_EQ(events.m_vecCalls[0], "init");
}

// The box sorts by its own rules; a choice still names the model's index.
TEST(Win32Dialog, DevicesKeepTheModelsIndexThroughTheSortAndTheirUtf8Names)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND hDlg) {
        const std::vector<CDeviceItem> vecItems = { { "Zebra port (COM3)", 3 }, { "\xC3\x9C" "ber adapter (COM12)", 12 },
            { "Alpha (COM5)", 5 } };
        dlg.ShowDevices(vecItems, 1);
        const LRESULT nSel = SendDlgItemMessageA(hDlg, IDC_DEVICE, CB_GETCURSEL, 0, 0);
        EXPECT_EQ(ComboText(hDlg, IDC_DEVICE, static_cast<int>(nSel)), vecItems[1].m_strName);
        EXPECT_EQ(ComboText(hDlg, IDC_DEVICE, 0), "Alpha (COM5)");
        Choose(hDlg, IDC_DEVICE, 0);       // Alpha is the model's third
        dlg.ShowDevices({}, -1);
        EXPECT_EQ(SendDlgItemMessageA(hDlg, IDC_DEVICE, CB_GETCURSEL, 0, 0), CB_ERR);
        dlg.ShowChannel(4);
        EXPECT_EQ(ComboText(hDlg, IDC_CHANNEL, static_cast<int>(SendDlgItemMessageA(hDlg, IDC_CHANNEL, CB_GETCURSEL, 0, 0))),
            "15 (0x0F)  2.425 GHz");
        Choose(hDlg, IDC_CHANNEL, 15);
    });
    const std::vector<std::string> vecWant = { "init", "device 2", "channel 15" };
    EXPECT_EQ(events.m_vecCalls, vecWant);
}

TEST(Win32Dialog, OnlyTheUsersTypingIsAPathAndTheLogCountsItsLines)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND hDlg) {
        dlg.ShowPath("C:\\Program Files\\Wireshark\\Wireshark.exe");
        EXPECT_EQ(ItemText(hDlg, IDC_WIRESHARK_PATH), "C:\\Program Files\\Wireshark\\Wireshark.exe");
        SetDlgItemTextA(hDlg, IDC_WIRESHARK_PATH, "D:\\ws.exe");   // as typed
        EXPECT_EQ(dlg.CountLogLines(), 1);
        dlg.AppendLog("12:00:00  one\n");
        dlg.AppendLog("12:00:01  two\n");
        EXPECT_EQ(dlg.CountLogLines(), 3);
        EXPECT_EQ(ItemText(hDlg, IDC_LOG), "12:00:00  one\r\n12:00:01  two\r\n");
        dlg.ReplaceLog("12:00:02  three\n");
        EXPECT_EQ(ItemText(hDlg, IDC_LOG), "12:00:02  three\r\n");
        EXPECT_EQ(dlg.CountLogLines(), 2);
        dlg.ShowRx("Rx : 1024");
        EXPECT_EQ(ItemText(hDlg, IDC_RX_COUNT), "Rx : 1024");
    });
    const std::vector<std::string> vecWant = { "init", "path D:\\ws.exe" };
    EXPECT_EQ(events.m_vecCalls, vecWant);
}

TEST(Win32Dialog, ButtonsEscapeCloseBoxAndSystemCommandsReachTheModel)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND hDlg) {
        SendDlgItemMessageA(hDlg, IDC_START, BM_CLICK, 0, 0);
        dlg.SetRunning(true);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_START)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_STOP)));
        SendDlgItemMessageA(hDlg, IDC_START, BM_CLICK, 0, 0);   // disabled: nothing
        SendDlgItemMessageA(hDlg, IDC_STOP, BM_CLICK, 0, 0);
        dlg.SetRunning(false);
        SendDlgItemMessageA(hDlg, IDC_REFRESH, BM_CLICK, 0, 0);
        SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);   // Escape
        SendMessageA(hDlg, WM_CLOSE, 0, 0);
        SendMessageA(hDlg, WM_SYSCOMMAND, 31, 0);
        SendMessageA(hDlg, WM_SYSCOMMAND, 32, 0);
        SendDlgItemMessageA(hDlg, IDC_EXIT, BM_CLICK, 0, 0);
    });
    const std::vector<std::string> vecWant = { "init", "start", "stop", "refresh", "cancel", "cancel", "sys 31", "exit" };
    EXPECT_EQ(events.m_vecCalls, vecWant);
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// A port that came or went, or a changed device tree, lists the devices
// again once the notice is answered, once per burst; a removal query does not.
TEST(Win32Dialog, DeviceNoticesReachTheModel)
{
    CRecordEvents events;
    RunDialog(events, [&events](CCaptureDlgWin32&, HWND hDlg) {
        SendMessageA(hDlg, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
        SendMessageA(hDlg, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        EXPECT_EQ(events.m_vecCalls.size(), 1u);   // answered first
        PumpMessages();
        SendMessageA(hDlg, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, 0);
        PumpMessages();
        SendMessageA(hDlg, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
        PumpMessages();
    });
    const std::vector<std::string> vecWant = { "init", "devices", "devices" };
    EXPECT_EQ(events.m_vecCalls, vecWant);
}

// The file chooser's name box (cmb13 in the Explorer style, edt1 in the old one).
constexpr int FILE_NAME_COMBO = 0x47C;
constexpr int FILE_NAME_EDIT = 0x480;
constexpr char CHOSEN_FILE[] = "C:\\windows\\notepad.exe";
WPARAM g_nFileDialogAnswer = IDOK;
const char* g_pszChosenFile = CHOSEN_FILE;

// Runs inside the chooser's own modal loop until the chooser is there.
void CALLBACK OnFileDialogTimer(HWND, UINT, UINT_PTR idTimer, DWORD)
{
    HWND hMain = static_cast<HWND>(g_pDlg->GetSafeHwnd());
    HWND hFile = nullptr;
    for (HWND h = FindWindowExA(nullptr, nullptr, "#32770", nullptr); h != nullptr; h = FindWindowExA(nullptr, h, "#32770", nullptr)) {
        if (h != hMain && GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId() && IsWindowVisible(h))
            hFile = h;
    }
    if (hFile == nullptr)
        return;
    KillTimer(nullptr, idTimer);
    SetDlgItemTextA(hFile, FILE_NAME_COMBO, g_pszChosenFile);
    SetDlgItemTextA(hFile, FILE_NAME_EDIT, g_pszChosenFile);
    PostMessageA(hFile, WM_COMMAND, g_nFileDialogAnswer, 0);
}

TEST(Win32Dialog, BrowseGivesTheChosenPathAndCancelGivesNothing)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND) {
        std::string strPath;
        g_nFileDialogAnswer = IDOK;
        SetTimer(nullptr, 0, STEP_TIMER_MS, OnFileDialogTimer);
        EXPECT_TRUE(dlg.ChooseProgramFile(strPath));
        EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, strPath.c_str(), -1, CHOSEN_FILE, -1), CSTR_EQUAL)
            << strPath;
        g_nFileDialogAnswer = IDCANCEL;
        SetTimer(nullptr, 0, STEP_TIMER_MS, OnFileDialogTimer);
        std::string strCancelled = "unchanged";
        EXPECT_FALSE(dlg.ChooseProgramFile(strCancelled));
        EXPECT_EQ(strCancelled, "unchanged");
    });
}

// The mode buttons, the label that follows the mode, the save dialog adding
// ".pcap" to a bare name, and the question before a file is replaced.
TEST(Win32Dialog, ModeLabelSaveDialogAndReplaceQuestion)
{
    CRecordEvents events;
    RunDialog(events, [](CCaptureDlgWin32& dlg, HWND hDlg) {
        EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_MODE_WIRESHARK), static_cast<UINT>(BST_CHECKED));
        EXPECT_EQ(ItemText(hDlg, IDC_PATH_LABEL), "Specify path to Wireshark");
        dlg.ShowMode(ECaptureMode::PcapFile, "Specify path to .pcap file");
        EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_MODE_PCAPFILE), static_cast<UINT>(BST_CHECKED));
        EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_MODE_WIRESHARK), static_cast<UINT>(BST_UNCHECKED));
        EXPECT_EQ(ItemText(hDlg, IDC_PATH_LABEL), "Specify path to .pcap file");
        SendDlgItemMessageA(hDlg, IDC_MODE_WIRESHARK, BM_CLICK, 0, 0);
        SendDlgItemMessageA(hDlg, IDC_MODE_PCAPFILE, BM_CLICK, 0, 0);

        std::string strPath;
        g_nFileDialogAnswer = IDOK;
        g_pszChosenFile = "C:\\windows\\temp\\qm-capture";
        SetTimer(nullptr, 0, STEP_TIMER_MS, OnFileDialogTimer);
        EXPECT_TRUE(dlg.ChooseSaveFile(strPath));
        EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, strPath.c_str(), -1,
                      "C:\\windows\\temp\\qm-capture.pcap", -1), CSTR_EQUAL) << strPath;
        g_pszChosenFile = CHOSEN_FILE;

        for (WPARAM nAnswer : { static_cast<WPARAM>(IDNO), static_cast<WPARAM>(IDYES) }) {
            g_nFileDialogAnswer = nAnswer;
            SetTimer(nullptr, 0, STEP_TIMER_MS, OnFileDialogTimer);
            EXPECT_EQ(dlg.ConfirmOverwrite("C:\\x.pcap"), nAnswer == IDYES);
        }
        g_nFileDialogAnswer = IDOK;
    });
    const std::vector<std::string> vecWant = { "init", "mode 0", "mode 1" };
    EXPECT_EQ(events.m_vecCalls, vecWant);
}

TEST(Win32Dialog, EndDialogTellsHowItEnded)
{
    CRecordEvents events;
    CCaptureDlgWin32 dlg(GetModuleHandleA(nullptr));
    dlg.SetEvents(&events);
    g_pDlg = &dlg;
    g_fnSteps = [](CCaptureDlgWin32& d, HWND) { d.EndDialog(ECaptureEnd::Cancel); };
    SetTimer(nullptr, 0, STEP_TIMER_MS, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        g_fnSteps(*g_pDlg, nullptr);
    });
    EXPECT_EQ(dlg.DoModal(), CAPTURE_DLG_CANCEL);
}

// The SetupDi items' own ports decide what is listed already, not their
// names: "COM3 adapter (COM33)" is COM33, and SERIALCOMM's COM3 is still added.
TEST(Win32DeviceSource, SerialCommAddsOnlyPortsNotListedYetOnce)
{
    std::vector<CDeviceItem> vecItems = { { "USB Serial Port (COM7)", 7 }, { "Communications Port (COM1)", 1 },
        { "COM3 adapter (COM33)", 33 } };
    AddSerialCommPorts(vecItems, { "COM1", "COM201", "COM7", "COM201", "COM0", "COM256", "LPT1", "", "COM3", "COM33" });
    std::vector<std::string> vecGot;
    for (const CDeviceItem& item : vecItems)
        vecGot.push_back(item.m_strName + "=" + std::to_string(item.m_nPort));
    const std::vector<std::string> vecWant = { "USB Serial Port (COM7)=7", "Communications Port (COM1)=1",
        "COM3 adapter (COM33)=33", "COM201=201", "COM3=3" };
    EXPECT_EQ(vecGot, vecWant);
}

// Under Wine the test port is registered in the Ports key (QM_TEST_COM).
TEST(Win32DeviceSource, TheSystemListIncludesTheRegisteredPort)
{
    const char* pszPort = std::getenv("QM_TEST_COM");
    if (pszPort == nullptr)
        GTEST_SKIP() << "QM_TEST_COM not set";
    CSystemDeviceSource source;
    std::vector<CDeviceItem> vecItems;
    ASSERT_TRUE(source.EnumeratePresentPorts(vecItems));
    const std::string strName = std::string("COM") + pszPort;
    EXPECT_NE(std::find_if(vecItems.begin(), vecItems.end(),
                  [&](const CDeviceItem& item) { return item.m_strName == strName && item.m_nPort == std::atoi(pszPort); }),
        vecItems.end());
}

// A port registered in SERIALCOMM while the watcher runs, and its removal,
// are each reported (Wine lets any process write the key; elsewhere the
// test needs an administrator).
TEST(Win32DeviceWatch, SerialCommChangesAreReported)
{
    constexpr char TEST_VALUE[] = "\\Device\\QmWatchTest";
    constexpr char TEST_PORT[] = "COM250";
    constexpr DWORD REPORT_WAIT_MS = 10000;
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
            KEY_SET_VALUE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        GTEST_SKIP() << "SERIALCOMM cannot be written here";
    HANDLE hReported = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(hReported, nullptr);
    {
        CDeviceWatch watch;
        watch.SetSettleMs(10);
        ASSERT_TRUE(watch.Start([hReported] { SetEvent(hReported); }));
        EXPECT_EQ(RegSetValueExA(hKey, TEST_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(TEST_PORT),
                      sizeof(TEST_PORT)), ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(hReported, REPORT_WAIT_MS), WAIT_OBJECT_0);
        EXPECT_EQ(RegDeleteValueA(hKey, TEST_VALUE), ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(hReported, REPORT_WAIT_MS), WAIT_OBJECT_0);
        watch.Stop();
    }
    RegDeleteValueA(hKey, TEST_VALUE);
    RegCloseKey(hKey);
    CloseHandle(hReported);
}

TEST(Win32DialogText, ChannelItemsAndLogLineEnds)
{
    EXPECT_EQ(ChannelText(11), "11 (0x0B)  2.405 GHz");
    EXPECT_EQ(ChannelText(26), "26 (0x1A)  2.480 GHz");
    EXPECT_EQ(LogTextForEdit("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(LogTextForEdit(""), "");
}

} // namespace
