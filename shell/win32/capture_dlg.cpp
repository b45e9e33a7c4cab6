// The Win32 face: widgets to model calls and back, nothing decided here.
// Device names and log texts are UTF-8 and go through the W calls; the
// Wireshark path is the system's ANSI bytes (the settings and the launch
// use the A calls) and stays in the A calls.
#include "shell/win32/capture_dlg.h"

#include "res/resource_win32.h"
#include "engine/channels.h"
#include "base/text_win32.h"

#include <commdlg.h>
#include <dbt.h>

namespace {

constexpr uint32_t SYSCOMMAND_MASK = 0xFFF0u;
constexpr DWORD BROWSE_PATH_CHARS = 1024;   // longer than any setting, so a long choice is seen whole
constexpr int32_t TEXT_CHARS = 512;
// Posted to the dialog itself: the device notices are answered at once and
// the list is made afterwards, once per burst.
constexpr UINT WM_APP_DEVICES_CHANGED = WM_APP + 1;

HWND Hwnd(void* p)
{
    return static_cast<HWND>(p);
}

} // namespace

std::string LogTextForEdit(const std::string& strText)
{
    std::string strOut;
    strOut.reserve(strText.size() + 8);
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] == '\n' && (i == 0 || strText[i - 1] != '\r'))
            strOut += '\r';
        strOut += strText[i];
    }
    return strOut;
}

struct CCaptureDlgProc {
    static INT_PTR CALLBACK Main(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM lParam)
    {
        if (nMsg == WM_INITDIALOG) {
            SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
            return reinterpret_cast<CCaptureDlgWin32*>(lParam)->OnInitDialog(hDlg) ? TRUE : FALSE;
        }
        auto* pDlg = reinterpret_cast<CCaptureDlgWin32*>(GetWindowLongPtrA(hDlg, DWLP_USER));
        if (pDlg == nullptr || pDlg->m_pEvents == nullptr)
            return FALSE;
        switch (nMsg) {
        case WM_COMMAND:
            return pDlg->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_SYSCOMMAND:
            if ((static_cast<uint32_t>(wParam) & SYSCOMMAND_MASK) != IDM_ABOUTBOX)
                return FALSE;   // move, close and the rest: the default processing
            pDlg->m_pEvents->OnSysCommand(static_cast<uint32_t>(wParam));
            return TRUE;
        case WM_CLOSE:
            pDlg->m_pEvents->OnCancel();
            return TRUE;
        case WM_DEVICECHANGE:
            // A port came or went, or the device tree changed; queries and
            // the rest need no answer from us. The sender waits for our
            // answer: the list is made once the notice has been answered.
            if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE || wParam == DBT_DEVNODES_CHANGED)
                && !pDlg->m_bDevicesChangePosted)
                pDlg->m_bDevicesChangePosted = PostMessageA(hDlg, WM_APP_DEVICES_CHANGED, 0, 0) != FALSE;
            return TRUE;
        case WM_APP_DEVICES_CHANGED:
            pDlg->m_bDevicesChangePosted = false;
            pDlg->m_pEvents->OnDevicesChanged();
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(pDlg->m_hIconBig);
        default:
            return FALSE;
        }
    }

    static INT_PTR CALLBACK About(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM)
    {
        if (nMsg == WM_INITDIALOG)
            return TRUE;
        if (nMsg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            ::EndDialog(hDlg, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    }
};

CCaptureDlgWin32::CCaptureDlgWin32(void* hInstance)
    : m_hInstance(hInstance)
    , m_hWnd(nullptr)
    , m_hIconBig(nullptr)
    , m_hIconSmall(nullptr)
    , m_pEvents(nullptr)
    , m_bShowingPath(false)
    , m_bDevicesChangePosted(false)
{
    m_scanWnd.SetOnTake([this](int32_t nChannel) {
        if (m_pEvents != nullptr)
            m_pEvents->OnTakeChannel(nChannel);
    });
    const HINSTANCE hInst = static_cast<HINSTANCE>(hInstance);
    m_hIconBig = LoadImageA(hInst, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
    m_hIconSmall = LoadImageA(hInst, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
}

CCaptureDlgWin32::~CCaptureDlgWin32()
{
    if (m_hIconBig != nullptr)
        DestroyIcon(static_cast<HICON>(m_hIconBig));
    if (m_hIconSmall != nullptr)
        DestroyIcon(static_cast<HICON>(m_hIconSmall));
}

int32_t CCaptureDlgWin32::DoModal()
{
    const INT_PTR nResult = DialogBoxParamA(static_cast<HINSTANCE>(m_hInstance), MAKEINTRESOURCEA(IDD_MAIN),
        nullptr, CCaptureDlgProc::Main, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return nResult <= 0 ? CAPTURE_DLG_FAILED : static_cast<int32_t>(nResult);
}

// The template's items and window parts first, then the model's start-up.
bool CCaptureDlgWin32::OnInitDialog(void* hWnd)
{
    m_hWnd = hWnd;
    AddChannelItems();
    AddAboutCommand();
    SetIcons();
    // The log grows to 200 lines of any length: past the edit's 32K default.
    SendDlgItemMessageA(Hwnd(m_hWnd), IDC_LOG, EM_SETLIMITTEXT, 0, 0);
    CheckRadioButton(Hwnd(m_hWnd), IDC_MODE_WIRESHARK, IDC_MODE_PCAPFILE, IDC_MODE_WIRESHARK);
    if (m_pEvents != nullptr)
        m_pEvents->OnInitDialog();
    return true;
}

// Each item carries its index: the box sorts, the model counts from channel 11.
void CCaptureDlgWin32::AddChannelItems()
{
    for (int32_t i = 0; i < CHANNEL_COUNT; ++i) {
        const LRESULT nPos = SendDlgItemMessageA(Hwnd(m_hWnd), IDC_CHANNEL, CB_ADDSTRING, 0,
            reinterpret_cast<LPARAM>(ChannelText(CHANNEL_FIRST + i).c_str()));
        if (nPos >= 0)
            SendDlgItemMessageA(Hwnd(m_hWnd), IDC_CHANNEL, CB_SETITEMDATA, static_cast<WPARAM>(nPos), i);
    }
}

void CCaptureDlgWin32::AddAboutCommand()
{
    HMENU hMenu = GetSystemMenu(Hwnd(m_hWnd), FALSE);
    char szText[TEXT_CHARS] = {};
    if (hMenu == nullptr || LoadStringA(static_cast<HINSTANCE>(m_hInstance), IDS_ABOUTBOX, szText, TEXT_CHARS) <= 0)
        return;
    AppendMenuA(hMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(hMenu, MF_STRING, IDM_ABOUTBOX, szText);
}

void CCaptureDlgWin32::SetIcons()
{
    SendMessageA(Hwnd(m_hWnd), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconBig));
    SendMessageA(Hwnd(m_hWnd), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));
}

// A disabled button is not pressed, whoever sent its click (BM_CLICK reaches
// the button procedure whatever its state).
bool CCaptureDlgWin32::OnCommand(uint32_t nID, uint32_t nCode)
{
    const HWND hCtrl = GetDlgItem(Hwnd(m_hWnd), static_cast<int>(nID));
    if (nCode == BN_CLICKED && hCtrl != nullptr && !IsWindowEnabled(hCtrl))
        return true;
    switch (nID) {
    case IDC_START: if (nCode == BN_CLICKED) m_pEvents->OnStart(); return true;
    case IDC_STOP: if (nCode == BN_CLICKED) m_pEvents->OnStop(); return true;
    case IDC_EXIT: if (nCode == BN_CLICKED) m_pEvents->OnExit(); return true;
    case IDC_BROWSE: if (nCode == BN_CLICKED) m_pEvents->OnBrowse(); return true;
    case IDC_REFRESH: if (nCode == BN_CLICKED) m_pEvents->OnRefreshDevices(); return true;
    case IDC_SCAN: if (nCode == BN_CLICKED) m_pEvents->OnScan(); return true;
    case IDC_MODE_WIRESHARK: if (nCode == BN_CLICKED) m_pEvents->OnModeChosen(ECaptureMode::Wireshark); return true;
    case IDC_MODE_PCAPFILE: if (nCode == BN_CLICKED) m_pEvents->OnModeChosen(ECaptureMode::PcapFile); return true;
    case IDCANCEL: m_pEvents->OnCancel(); return true;
    case IDOK: return true;   // Enter presses the focused button, never ends the dialog
    default: break;
    }
    if (nCode == CBN_SELCHANGE && (nID == IDC_DEVICE || nID == IDC_CHANNEL)) {
        const int32_t nIndex = SelectedData(static_cast<int32_t>(nID));
        if (nID == IDC_DEVICE)
            m_pEvents->OnDeviceChosen(nIndex);
        else
            m_pEvents->OnChannelChosen(nIndex);
        return true;
    }
    if (nID == IDC_WIRESHARK_PATH && nCode == EN_CHANGE && !m_bShowingPath) {
        const HWND hEdit = GetDlgItem(Hwnd(m_hWnd), IDC_WIRESHARK_PATH);
        std::string strPath(static_cast<size_t>(GetWindowTextLengthA(hEdit)) + 1, '\0');
        strPath.resize(static_cast<size_t>(GetWindowTextA(hEdit, strPath.data(), static_cast<int>(strPath.size()))));
        m_pEvents->OnPathTyped(strPath);
        return true;
    }
    return false;
}

// The model's index of the chosen item, or -1 with none chosen.
int32_t CCaptureDlgWin32::SelectedData(int32_t nCtrlID) const
{
    const LRESULT nSel = SendDlgItemMessageA(Hwnd(m_hWnd), nCtrlID, CB_GETCURSEL, 0, 0);
    if (nSel < 0)
        return -1;
    return static_cast<int32_t>(SendDlgItemMessageA(Hwnd(m_hWnd), nCtrlID, CB_GETITEMDATA, static_cast<WPARAM>(nSel), 0));
}

void CCaptureDlgWin32::SelectByData(int32_t nCtrlID, intptr_t nData)
{
    const LRESULT nCount = SendDlgItemMessageA(Hwnd(m_hWnd), nCtrlID, CB_GETCOUNT, 0, 0);
    LRESULT nFound = -1;
    for (LRESULT i = 0; i < nCount && nFound < 0; ++i) {
        if (SendDlgItemMessageA(Hwnd(m_hWnd), nCtrlID, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) == nData)
            nFound = i;
    }
    SendDlgItemMessageA(Hwnd(m_hWnd), nCtrlID, CB_SETCURSEL, static_cast<WPARAM>(nFound), 0);
}

void CCaptureDlgWin32::ShowDevices(const std::vector<CDeviceItem>& vecItems, int32_t nSelected)
{
    const HWND hCombo = GetDlgItem(Hwnd(m_hWnd), IDC_DEVICE);
    SendMessageW(hCombo, CB_RESETCONTENT, 0, 0);
    for (size_t i = 0; i < vecItems.size(); ++i) {
        const std::wstring strName = WideFromUtf8(vecItems[i].m_strName);
        const LRESULT nPos = SendMessageW(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(strName.c_str()));
        if (nPos >= 0)
            SendMessageW(hCombo, CB_SETITEMDATA, static_cast<WPARAM>(nPos), static_cast<LPARAM>(i));
    }
    SelectByData(IDC_DEVICE, nSelected);
}

void CCaptureDlgWin32::ShowChannel(int32_t nIndex)
{
    SelectByData(IDC_CHANNEL, nIndex);
}

// Only what changed is set: the same text again would move the caret.
void CCaptureDlgWin32::ShowPath(const std::string& strPath)
{
    char szShown[TEXT_CHARS] = {};
    const HWND hEdit = GetDlgItem(Hwnd(m_hWnd), IDC_WIRESHARK_PATH);
    if (GetWindowTextLengthA(hEdit) < TEXT_CHARS - 1 && GetWindowTextA(hEdit, szShown, TEXT_CHARS) >= 0
        && strPath == szShown)
        return;
    m_bShowingPath = true;
    SetWindowTextA(hEdit, strPath.c_str());
    m_bShowingPath = false;
}

void CCaptureDlgWin32::ShowRx(const std::string& strText)
{
    SetDlgItemTextW(Hwnd(m_hWnd), IDC_RX_COUNT, WideFromUtf8(strText).c_str());
}

// A button that loses its focus by being disabled hands it to the other one,
// so the keyboard keeps working. A scan runs as a capture does: Start and
// Scan wait for Stop.
void CCaptureDlgWin32::SetRunning(bool bRunning)
{
    const int32_t nOff = bRunning ? IDC_START : IDC_STOP;
    const int32_t nOn = bRunning ? IDC_STOP : IDC_START;
    EnableWindow(GetDlgItem(Hwnd(m_hWnd), nOn), TRUE);
    MoveFocusOff(nOff, nOn);
    EnableWindow(GetDlgItem(Hwnd(m_hWnd), nOff), FALSE);
    MoveFocusOff(IDC_SCAN, nOn);
    EnableWindow(GetDlgItem(Hwnd(m_hWnd), IDC_SCAN), bRunning ? FALSE : TRUE);
}

void CCaptureDlgWin32::ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning)
{
    m_scanWnd.ShowSurvey(m_hInstance, m_hWnd, vecChannels, nChannelNow, bRunning);
}

void CCaptureDlgWin32::ShowRetuning(bool bRetuning)
{
    if (bRetuning)
        MoveFocusOff(IDC_CHANNEL, IDC_STOP);
    EnableWindow(GetDlgItem(Hwnd(m_hWnd), IDC_CHANNEL), bRetuning ? FALSE : TRUE);
}

void CCaptureDlgWin32::MoveFocusOff(int32_t nCtrlID, int32_t nToID)
{
    const HWND hCtrl = GetDlgItem(Hwnd(m_hWnd), nCtrlID);
    if (hCtrl != nullptr && GetFocus() == hCtrl)
        SendMessageA(Hwnd(m_hWnd), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(Hwnd(m_hWnd), nToID)), TRUE);
}

int32_t CCaptureDlgWin32::CountLogLines() const
{
    return static_cast<int32_t>(SendDlgItemMessageW(Hwnd(m_hWnd), IDC_LOG, EM_GETLINECOUNT, 0, 0));
}

void CCaptureDlgWin32::AppendLog(const std::string& strText)
{
    const HWND hEdit = GetDlgItem(Hwnd(m_hWnd), IDC_LOG);
    const int nEnd = GetWindowTextLengthW(hEdit);
    SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(nEnd), nEnd);
    const std::wstring strWide = WideFromUtf8(LogTextForEdit(strText));
    SendMessageW(hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(strWide.c_str()));
    SendMessageW(hEdit, EM_SCROLLCARET, 0, 0);
}

void CCaptureDlgWin32::ReplaceLog(const std::string& strText)
{
    const HWND hEdit = GetDlgItem(Hwnd(m_hWnd), IDC_LOG);
    SetWindowTextW(hEdit, WideFromUtf8(LogTextForEdit(strText)).c_str());
    const int nEnd = GetWindowTextLengthW(hEdit);
    SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(nEnd), nEnd);
    SendMessageW(hEdit, EM_SCROLLCARET, 0, 0);
}

bool CCaptureDlgWin32::ChooseProgramFile(std::string& strPath)
{
    char szFile[BROWSE_PATH_CHARS] = "WireShark.exe";
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = Hwnd(m_hWnd);
    ofn.lpstrFilter = "Wireshark File (*.exe)\0*.exe\0All Files (*.*)\0*.*\0";
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = BROWSE_PATH_CHARS;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!GetOpenFileNameA(&ofn))
        return false;
    strPath = szFile;
    return true;
}

void CCaptureDlgWin32::ShowMode(ECaptureMode eMode, const std::string& strPathLabel)
{
    CheckRadioButton(Hwnd(m_hWnd), IDC_MODE_WIRESHARK, IDC_MODE_PCAPFILE,
        eMode == ECaptureMode::PcapFile ? IDC_MODE_PCAPFILE : IDC_MODE_WIRESHARK);
    SetDlgItemTextW(Hwnd(m_hWnd), IDC_PATH_LABEL, WideFromUtf8(strPathLabel).c_str());
}

// The path is the system's ANSI bytes, as the file layer opens it. The dialog
// adds ".pcap" to a name without an extension and asks before an existing
// file is chosen.
bool CCaptureDlgWin32::ChooseSaveFile(std::string& strPath)
{
    char szFile[BROWSE_PATH_CHARS] = {};
    const HWND hEdit = GetDlgItem(Hwnd(m_hWnd), IDC_WIRESHARK_PATH);
    if (GetWindowTextLengthA(hEdit) < static_cast<int>(BROWSE_PATH_CHARS))
        GetWindowTextA(hEdit, szFile, static_cast<int>(BROWSE_PATH_CHARS));
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = Hwnd(m_hWnd);
    ofn.lpstrFilter = "pcap File (*.pcap)\0*.pcap\0All Files (*.*)\0*.*\0";
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = BROWSE_PATH_CHARS;
    ofn.lpstrDefExt = "pcap";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!GetSaveFileNameA(&ofn))
        return false;
    strPath = szFile;
    return true;
}

bool CCaptureDlgWin32::ConfirmOverwrite(const std::string& strPath)
{
    const std::string strText = strPath + " exists.\nReplace it with the new capture?";
    return MessageBoxA(Hwnd(m_hWnd), strText.c_str(), "Save to .pcap file",
               MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2)
        == IDYES;
}

void CCaptureDlgWin32::ShowAbout()
{
    DialogBoxParamA(static_cast<HINSTANCE>(m_hInstance), MAKEINTRESOURCEA(IDD_ABOUTBOX), Hwnd(m_hWnd),
        CCaptureDlgProc::About, 0);
}

void CCaptureDlgWin32::EndDialog(ECaptureEnd eHow)
{
    if (m_hWnd == nullptr)
        return;
    const INT_PTR nResult = eHow == ECaptureEnd::Exit ? CAPTURE_DLG_EXIT
        : eHow == ECaptureEnd::Cancel ? CAPTURE_DLG_CANCEL : CAPTURE_DLG_SIGNAL;
    ::EndDialog(Hwnd(m_hWnd), nResult);
}
