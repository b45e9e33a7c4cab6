#include "shell/win32/scan_wnd.h"

#include "res/resource_win32.h"
#include "base/text_win32.h"

namespace {

// The chart's window class, named in IDD_SCAN's template.
constexpr const char* SCAN_CHART_CLASS = "QuillmarkScanChart";

HWND Hwnd(void* p)
{
    return static_cast<HWND>(p);
}

// The DC's text height with the dialog's font selected.
int32_t LineHeight(HDC hDC)
{
    TEXTMETRICA tm = {};
    GetTextMetricsA(hDC, &tm);
    return static_cast<int32_t>(tm.tmHeight);
}

RECT ToRect(const CScanRect& rc)
{
    return RECT { rc.m_nLeft, rc.m_nTop, rc.m_nRight, rc.m_nBottom };
}

void FillWith(HDC hDC, const CScanRect& rc, COLORREF crFill)
{
    const RECT rect = ToRect(rc);
    HBRUSH hBrush = CreateSolidBrush(crFill);
    FillRect(hDC, &rect, hBrush);
    DeleteObject(hBrush);
}

void DrawLine(HDC hDC, const std::string& strText, RECT rect, UINT uAlign)
{
    DrawTextA(hDC, strText.c_str(), static_cast<int>(strText.size()), &rect, uAlign | DT_SINGLELINE | DT_NOPREFIX);
}

} // namespace

struct CScanWndProc {
    static INT_PTR CALLBACK Dialog(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
    {
        if (nMsg == WM_INITDIALOG) {
            SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
            SetWindowLongPtrA(GetDlgItem(hWnd, IDC_SCAN_CHART), GWLP_USERDATA, lParam);
            return TRUE;
        }
        auto* pWnd = reinterpret_cast<CScanWndWin32*>(GetWindowLongPtrA(hWnd, DWLP_USER));
        if (pWnd == nullptr)
            return FALSE;
        switch (nMsg) {
        case WM_COMMAND:
            if (LOWORD(wParam) != IDCANCEL)
                return FALSE;
            ShowWindow(hWnd, SW_HIDE);   // kept for the next scan
            return TRUE;
        case WM_CLOSE:
            ShowWindow(hWnd, SW_HIDE);
            return TRUE;
        case WM_DESTROY:
            pWnd->m_hWnd = nullptr;   // its owner, the main dialog, ended
            return FALSE;
        default:
            return FALSE;
        }
    }

    static LRESULT CALLBACK Chart(HWND hChart, UINT nMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* pWnd = reinterpret_cast<CScanWndWin32*>(GetWindowLongPtrA(hChart, GWLP_USERDATA));
        switch (nMsg) {
        case WM_PAINT:
            if (pWnd != nullptr) {
                pWnd->Paint(hChart);
                return 0;
            }
            break;
        case WM_ERASEBKGND:
            return 1;   // WM_PAINT fills it all
        case WM_LBUTTONDOWN:
            if (pWnd != nullptr)
                pWnd->OnChartClick(static_cast<int16_t>(LOWORD(lParam)), static_cast<int16_t>(HIWORD(lParam)));
            return 0;
        case WM_SETCURSOR:
            SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
            return TRUE;
        default:
            break;
        }
        return DefWindowProcA(hChart, nMsg, wParam, lParam);
    }
};

CScanWndWin32::~CScanWndWin32()
{
    if (m_hWnd != nullptr)
        DestroyWindow(Hwnd(m_hWnd));
}

bool CScanWndWin32::Create(void* hInstance, void* hOwner)
{
    const HINSTANCE hInst = static_cast<HINSTANCE>(hInstance);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExA(hInst, SCAN_CHART_CLASS, &wc)) {
        wc.lpfnWndProc = CScanWndProc::Chart;
        wc.hInstance = hInst;
        wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND));
        wc.lpszClassName = SCAN_CHART_CLASS;
        if (RegisterClassExA(&wc) == 0)
            return false;
    }
    m_hWnd = CreateDialogParamA(hInst, MAKEINTRESOURCEA(IDD_SCAN), Hwnd(hOwner), CScanWndProc::Dialog,
        reinterpret_cast<LPARAM>(this));
    if (m_hWnd == nullptr)
        return false;
    SetWindowTextW(Hwnd(m_hWnd), WideFromUtf8(STR_SCAN_TITLE).c_str());
    return true;
}

void CScanWndWin32::ShowSurvey(void* hInstance, void* hOwner, const std::vector<CSurveyChannel>& vecChannels,
    int32_t nChannelNow, bool bRunning)
{
    if (m_hWnd == nullptr && (!bRunning || !Create(hInstance, hOwner)))
        return;
    m_vecChannels = vecChannels;
    m_nChannelNow = nChannelNow;
    SetDlgItemTextW(Hwnd(m_hWnd), IDC_SCAN_HINT, WideFromUtf8(bRunning ? STR_SCAN_HINT_RUNNING : STR_SCAN_HINT_DONE).c_str());
    InvalidateRect(GetDlgItem(Hwnd(m_hWnd), IDC_SCAN_CHART), nullptr, FALSE);
    if (bRunning && !m_bRunning)
        ShowWindow(Hwnd(m_hWnd), SW_SHOWNOACTIVATE);   // the main dialog's Stop stays in reach
    m_bRunning = bRunning;
}

std::vector<CScanBar> CScanWndWin32::Layout() const
{
    const HWND hChart = m_hWnd != nullptr ? GetDlgItem(Hwnd(m_hWnd), IDC_SCAN_CHART) : nullptr;
    if (hChart == nullptr)
        return {};
    RECT rc = {};
    GetClientRect(hChart, &rc);
    HDC hDC = GetDC(hChart);
    HGDIOBJ hOld = SelectObject(hDC, reinterpret_cast<HGDIOBJ>(SendMessageA(Hwnd(m_hWnd), WM_GETFONT, 0, 0)));
    const int32_t nLine = LineHeight(hDC);
    SelectObject(hDC, hOld);
    ReleaseDC(hChart, hDC);
    return LayoutScanChart(m_vecChannels, m_nChannelNow, rc.right, rc.bottom, nLine);
}

// Drawn into a bitmap first: a chart that changes four times a second does not flicker.
void CScanWndWin32::Paint(void* hChart)
{
    PAINTSTRUCT ps;
    HDC hDC = BeginPaint(Hwnd(hChart), &ps);
    RECT rcClient = {};
    GetClientRect(Hwnd(hChart), &rcClient);
    HDC hMem = CreateCompatibleDC(hDC);
    HBITMAP hBitmap = CreateCompatibleBitmap(hDC, rcClient.right, rcClient.bottom);
    HGDIOBJ hOldBitmap = SelectObject(hMem, hBitmap);
    HGDIOBJ hOldFont = SelectObject(hMem, reinterpret_cast<HGDIOBJ>(SendMessageA(Hwnd(m_hWnd), WM_GETFONT, 0, 0)));
    FillRect(hMem, &rcClient, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(hMem, TRANSPARENT);
    SetTextColor(hMem, GetSysColor(COLOR_WINDOWTEXT));
    const int32_t nLine = LineHeight(hMem);
    for (const CScanBar& bar : LayoutScanChart(m_vecChannels, m_nChannelNow, rcClient.right, rcClient.bottom, nLine)) {
        if (bar.m_bNow)
            FillWith(hMem, bar.m_rcColumn, GetSysColor(COLOR_INFOBK));
        FillWith(hMem, bar.m_rcBar, GetSysColor(COLOR_HIGHLIGHT));
        DrawLine(hMem, bar.m_strCount, ToRect(bar.m_rcCount), DT_CENTER | DT_BOTTOM);
        for (size_t i = 0; i < bar.m_vecLabels.size(); ++i) {
            const int32_t nTop = bar.m_nLabelsTop + static_cast<int32_t>(i) * nLine;
            DrawLine(hMem, bar.m_vecLabels[i], RECT { bar.m_rcColumn.m_nLeft, nTop, bar.m_rcColumn.m_nRight, nTop + nLine },
                DT_CENTER | DT_VCENTER);
        }
    }
    BitBlt(hDC, 0, 0, rcClient.right, rcClient.bottom, hMem, 0, 0, SRCCOPY);
    SelectObject(hMem, hOldFont);
    SelectObject(hMem, hOldBitmap);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    EndPaint(Hwnd(hChart), &ps);
}

void CScanWndWin32::OnChartClick(int32_t nX, int32_t nY)
{
    const int32_t nChannel = ScanChannelAt(Layout(), nX, nY);
    if (nChannel != 0 && m_fnTake)
        m_fnTake(nChannel);
}
