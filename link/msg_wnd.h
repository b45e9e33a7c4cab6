// The controller's window layer: a hidden child "window" that receives posted
// messages (from any thread, delivered in posting order on the thread that
// created it) and per-window timers by id, plus the link to its parent, to
// which messages are "sent" as plain synchronous calls. One interface, one
// backend library per toolkit: qm_wnd_qt (msg_wnd_qt.cpp, Qt's event loop) and
// qm_wnd_loop (msg_wnd_loop.cpp, our own loop in msg_loop.h); an executable
// links exactly one.
#pragma once

#include <cstdint>

typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_LOG_TEXT = 0x463;
constexpr uint32_t WM_RF_STATUS = 0x465;
// Posted by the serial reader thread to the controller's window.
constexpr uint32_t WM_RF_ACK = 0x467;        // an acknowledgement, packed into wParam/lParam
constexpr uint32_t WM_RF_LINE_LOST = 0x468;  // the device went away; also sent on to the owner

// Anything that receives sent messages (the main dialog).
class CMsgTarget {
public:
    virtual ~CMsgTarget() = default;
    virtual LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) = 0;
};

class CMsgWndImpl;

class CMsgWnd {
public:
    CMsgWnd();
    virtual ~CMsgWnd();
    CMsgWnd(const CMsgWnd&) = delete;
    CMsgWnd& operator=(const CMsgWnd&) = delete;

    // Creates the window on the calling thread, which must turn the backend's
    // loop (Qt: an existing application object's event loop; the portable
    // loop: MsgLoopRun / MsgLoopRunFor). False when the window already exists
    // (or, on Qt, there is no application object).
    bool CreateWnd(CMsgTarget* pParent, uint32_t nID);
    // Kills the timers and drops every message still queued for the window.
    // Safe inside the window's own handlers.
    void DestroyWindow();
    bool IsWindow() const;
    CMsgTarget* GetParent() const;   // null while there is no window
    uint32_t GetDlgCtrlID() const;

    // Any thread. False (message dropped) when there is no window.
    bool PostWndMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam);

    // Window thread only. Setting an id that runs restarts it from zero; the
    // timer repeats until killed and arrives as WindowProc(WM_TIMER, id, 0).
    bool SetTimer(uint32_t nIDEvent, uint32_t nElapseMs);
    bool KillTimer(uint32_t nIDEvent);
    bool IsTimerSet(uint32_t nIDEvent) const;

protected:
    // Called once the window exists, before CreateWnd returns.
    virtual void PreSubclassWindow();
    // Posted messages and WM_TIMER arrive here, on the window's thread.
    virtual LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam);

private:
    friend class CMsgWndImpl;
    CMsgWndImpl* m_pImpl;
};
