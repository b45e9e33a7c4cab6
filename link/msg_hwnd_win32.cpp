// A hidden message-only window (HWND_MESSAGE parent): posted notifications
// and timers arrive through the thread's own message loop, so the dialog's
// modal loops (the dialog itself, the About box, the file chooser) deliver
// them too.
#include "link/msg_hwnd_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr char MSG_HWND_CLASS[] = "QuillmarkMsgWnd";
constexpr UINT WM_MSG_HWND_NOTIFY = WM_APP + 0x51;

IMsgHwndSink* SinkOf(HWND hWnd)
{
    return reinterpret_cast<IMsgHwndSink*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
}

// The sink is called last: its handler may destroy the window or its owner.
LRESULT CALLBACK MsgHwndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_MSG_HWND_NOTIFY) {
        if (IMsgHwndSink* pSink = SinkOf(hWnd))
            pSink->OnMsgHwndNotify();
        return 0;
    }
    if (nMsg == WM_TIMER) {
        if (IMsgHwndSink* pSink = SinkOf(hWnd))
            pSink->OnMsgHwndTimer(static_cast<uint32_t>(wParam));
        return 0;
    }
    return DefWindowProcA(hWnd, nMsg, wParam, lParam);
}

bool RegisterMsgHwndClass()
{
    static const bool s_bRegistered = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = MsgHwndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = MSG_HWND_CLASS;
        return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return s_bRegistered;
}

} // namespace

void* MsgHwndCreate(IMsgHwndSink* pSink)
{
    if (!RegisterMsgHwndClass())
        return nullptr;
    HWND hWnd = CreateWindowExA(0, MSG_HWND_CLASS, "", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
        GetModuleHandleA(nullptr), nullptr);
    if (hWnd != nullptr)
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pSink));
    return hWnd;
}

void MsgHwndDestroy(void* hWnd)
{
    HWND hwnd = static_cast<HWND>(hWnd);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd);
}

bool MsgHwndNotify(void* hWnd)
{
    return PostMessageA(static_cast<HWND>(hWnd), WM_MSG_HWND_NOTIFY, 0, 0) != FALSE;
}

bool MsgHwndIsOwnThread(void* hWnd)
{
    return GetWindowThreadProcessId(static_cast<HWND>(hWnd), nullptr) == GetCurrentThreadId();
}

bool MsgHwndSetTimer(void* hWnd, uint32_t nIDEvent, uint32_t nElapseMs)
{
    return ::SetTimer(static_cast<HWND>(hWnd), nIDEvent, nElapseMs, nullptr) != 0;
}

bool MsgHwndKillTimer(void* hWnd, uint32_t nIDEvent)
{
    return ::KillTimer(static_cast<HWND>(hWnd), nIDEvent) != FALSE;
}
