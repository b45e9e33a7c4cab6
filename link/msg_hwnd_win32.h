// The Win32 half of the window layer's Win32 backend: a hidden message-only
// HWND that turns a private notification and WM_TIMER into calls of its sink.
// Kept apart from msg_wnd.h, whose WPARAM/LPARAM/WM_ names are the ones
// <windows.h> declares too (and, on i686, as other types).
#pragma once

#include <cstdint>

class IMsgHwndSink {
public:
    virtual ~IMsgHwndSink() = default;
    // One per successful MsgHwndNotify, in notify order.
    virtual void OnMsgHwndNotify() = 0;
    virtual void OnMsgHwndTimer(uint32_t nIDEvent) = 0;
};

// A message-only window on the calling thread; null on failure.
void* MsgHwndCreate(IMsgHwndSink* pSink);
// The sink is detached first: nothing reaches it from now on.
void MsgHwndDestroy(void* hWnd);
// Any thread; false when the window is gone or its queue is full.
bool MsgHwndNotify(void* hWnd);
bool MsgHwndIsOwnThread(void* hWnd);
// Window thread only.
bool MsgHwndSetTimer(void* hWnd, uint32_t nIDEvent, uint32_t nElapseMs);
bool MsgHwndKillTimer(void* hWnd, uint32_t nIDEvent);
