// Drives the running Quillmark dialog from outside, as a user would, with the
// messages a test thread would send: finds the window by its caption, clicks
// buttons (BM_CLICK, so a disabled one stays unpressed), reads control texts,
// combo items and the system menu, opens and closes the About box.
//
// Usage: qm_dlg_driver <command> [args]; prints its findings, exits 1 on failure.
//   wait <ms>                       the dialog exists
//   count                           how many dialogs with the caption exist
//   state                           every control's id, enabled flag and text
//   combo <id>                      the items of a combo box, "*" before the selected one
//   click <id>                      BM_CLICK on a control
//   settext <id> <text>             WM_SETTEXT on a control, as if typed (the edit reports the change)
//   wait-text <id> <text> <ms> [n]  the control's text contains <text> (n times)
//   about <syscommand>              posts WM_SYSCOMMAND, waits for the About box, reads and closes it
#include "res/resource_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr DWORD POLL_MS = 50;
constexpr UINT SEND_TIMEOUT_MS = 20000;
constexpr int TEXT_CHARS = 65536;
constexpr int MAIN_IDS[] = { IDC_MODE_WIRESHARK, IDC_MODE_PCAPFILE, IDC_WIRESHARK_PATH, IDC_BROWSE, IDC_DEVICE,
    IDC_REFRESH, IDC_CHANNEL, IDC_LOG, IDC_START, IDC_STOP, IDC_EXIT, IDC_RX_COUNT, IDC_PATH_LABEL };

HWND FindDialog(const char* pszCaption, DWORD dwWaitMs)
{
    for (DWORD dwWaited = 0;; dwWaited += POLL_MS) {
        HWND hWnd = FindWindowA("#32770", pszCaption);
        if (hWnd != nullptr || dwWaited >= dwWaitMs)
            return hWnd;
        Sleep(POLL_MS);
    }
}

std::string TextOf(HWND hWnd)
{
    static char s_szText[TEXT_CHARS];
    DWORD_PTR nLen = 0;
    if (!SendMessageTimeoutA(hWnd, WM_GETTEXT, TEXT_CHARS, reinterpret_cast<LPARAM>(s_szText), SMTO_NORMAL,
            SEND_TIMEOUT_MS, &nLen))
        return "<no answer>";
    return std::string(s_szText, nLen);
}

LRESULT Send(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR nResult = 0;
    SendMessageTimeoutA(hWnd, nMsg, wParam, lParam, SMTO_NORMAL, SEND_TIMEOUT_MS, &nResult);
    return static_cast<LRESULT>(nResult);
}

int PrintState(HWND hDlg)
{
    for (int nID : MAIN_IDS) {
        HWND hCtrl = GetDlgItem(hDlg, nID);
        const bool bChecked = Send(hCtrl, BM_GETCHECK, 0, 0) == BST_CHECKED;
        std::printf("%d enabled=%d checked=%d text=[%s]\n", nID, IsWindowEnabled(hCtrl) ? 1 : 0,
            bChecked ? 1 : 0, TextOf(hCtrl).c_str());
    }
    return 0;
}

int PrintCombo(HWND hDlg, int nID)
{
    HWND hCombo = GetDlgItem(hDlg, nID);
    const LRESULT nCount = Send(hCombo, CB_GETCOUNT, 0, 0);
    const LRESULT nSel = Send(hCombo, CB_GETCURSEL, 0, 0);
    // The W message: the face adds device names as UTF-16.
    static wchar_t s_szItem[TEXT_CHARS];
    for (LRESULT i = 0; i < nCount; ++i) {
        s_szItem[0] = L'\0';
        DWORD_PTR nLen = 0;
        SendMessageTimeoutW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s_szItem),
            SMTO_NORMAL, SEND_TIMEOUT_MS, &nLen);
        char szUtf8[TEXT_CHARS];
        const int nBytes = WideCharToMultiByte(CP_UTF8, 0, s_szItem, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
        std::printf("%s%s\n", i == nSel ? "*" : " ", nBytes > 0 ? szUtf8 : "");
    }
    return 0;
}

int CountOf(const std::string& strText, const char* pszPart)
{
    int nCount = 0;
    for (size_t nPos = strText.find(pszPart); nPos != std::string::npos; nPos = strText.find(pszPart, nPos + 1))
        ++nCount;
    return nCount;
}

int WaitText(HWND hDlg, int nID, const char* pszText, DWORD dwWaitMs, int nTimes)
{
    for (DWORD dwWaited = 0;; dwWaited += POLL_MS) {
        const std::string strText = TextOf(GetDlgItem(hDlg, nID));
        if (CountOf(strText, pszText) >= nTimes) {
            std::printf("%s\n", strText.c_str());
            return 0;
        }
        if (dwWaited >= dwWaitMs) {
            std::printf("timed out; text is [%s]\n", strText.c_str());
            return 1;
        }
        Sleep(POLL_MS);
    }
}

int About(HWND hDlg, WPARAM nCommand)
{
    PostMessageA(hDlg, WM_SYSCOMMAND, nCommand, 0);
    HWND hAbout = FindDialog("About Quillmark", 5000);
    if (hAbout == nullptr) {
        std::printf("no About box\n");
        return 1;
    }
    for (HWND hChild = GetWindow(hAbout, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT))
        std::printf("[%s]\n", TextOf(hChild).c_str());
    Send(GetDlgItem(hAbout, IDOK), BM_CLICK, 0, 0);
    for (int i = 0; i < 100 && IsWindow(hAbout); ++i)
        Sleep(POLL_MS);
    std::printf(IsWindow(hAbout) ? "About box still open\n" : "About box closed\n");
    return IsWindow(hAbout) ? 1 : 0;
}

int CountDialogs()
{
    int nCount = 0;
    for (HWND hWnd = FindWindowExA(nullptr, nullptr, "#32770", QM_MAIN_CAPTION); hWnd != nullptr;
         hWnd = FindWindowExA(nullptr, hWnd, "#32770", QM_MAIN_CAPTION))
        ++nCount;
    std::printf("%d\n", nCount);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string strCmd = argv[1];
    if (strCmd == "count")
        return CountDialogs();
    const DWORD dwWait = strCmd == "wait" && argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 0;
    HWND hDlg = FindDialog(QM_MAIN_CAPTION, dwWait);
    if (hDlg == nullptr) {
        std::printf("no dialog\n");
        return 1;
    }
    if (strCmd == "wait")
        return 0;
    if (strCmd == "state")
        return PrintState(hDlg);
    if (strCmd == "combo" && argc > 2)
        return PrintCombo(hDlg, std::atoi(argv[2]));
    if (strCmd == "click" && argc > 2) {
        Send(GetDlgItem(hDlg, std::atoi(argv[2])), BM_CLICK, 0, 0);
        return 0;
    }
    if (strCmd == "settext" && argc > 3) {
        Send(GetDlgItem(hDlg, std::atoi(argv[2])), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
        return 0;
    }
    if (strCmd == "wait-text" && argc > 4)
        return WaitText(hDlg, std::atoi(argv[2]), argv[3], static_cast<DWORD>(std::atoi(argv[4])),
            argc > 5 ? std::atoi(argv[5]) : 1);
    if (strCmd == "about" && argc > 2)
        return About(hDlg, static_cast<WPARAM>(std::atoi(argv[2])));
    return 2;
}
