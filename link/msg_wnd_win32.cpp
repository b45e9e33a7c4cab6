// The window layer on Win32: each window is a hidden message-only HWND on the
// creating thread. Posted messages wait in a queue of our own and each post
// also posts one private notification (PostMessageA) that makes the window
// thread take the next one: the thread's message queue keeps the order, and
// no posted number is ever taken for a system message (a posted WM_QUIT or
// WM_SETTEXT would mean something else). Timers are the HWND's own
// (SetTimer/KillTimer by our id); a WM_TIMER of a killed id is dropped.
#include "link/msg_wnd.h"

#include "link/msg_hwnd_win32.h"

#include <deque>
#include <mutex>
#include <set>

namespace {

struct CQueuedMsg {
    uint32_t m_nMsg;
    WPARAM m_wParam;
    LPARAM m_lParam;
};

} // namespace

class CMsgWndImpl : public IMsgHwndSink {
public:
    explicit CMsgWndImpl(CMsgWnd* pWnd) : m_pWnd(pWnd) {}

    // Nothing of this object is touched after the handler returns: it may
    // have destroyed the window or its owner.
    void OnMsgHwndNotify() override
    {
        CQueuedMsg msg;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_queue.empty())
                return;
            msg = m_queue.front();
            m_queue.pop_front();
        }
        m_pWnd->WindowProc(msg.m_nMsg, msg.m_wParam, msg.m_lParam);
    }
    void OnMsgHwndTimer(uint32_t nIDEvent) override
    {
        if (m_setTimers.count(nIDEvent) != 0)
            m_pWnd->WindowProc(WM_TIMER, nIDEvent, 0);
    }

    CMsgWnd* m_pWnd;
    // Guards m_hWnd and m_queue: other threads post while the window thread
    // takes messages or destroys the window.
    mutable std::mutex m_mtx;
    void* m_hWnd = nullptr;
    std::deque<CQueuedMsg> m_queue;
    CMsgTarget* m_pParent = nullptr;
    uint32_t m_nID = 0;
    std::set<uint32_t> m_setTimers;   // window thread only
};

CMsgWnd::CMsgWnd() : m_pImpl(new CMsgWndImpl(this)) {}

CMsgWnd::~CMsgWnd()
{
    DestroyWindow();
    delete m_pImpl;
}

bool CMsgWnd::CreateWnd(CMsgTarget* pParent, uint32_t nID)
{
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
        if (m_pImpl->m_hWnd != nullptr)
            return false;
        m_pImpl->m_hWnd = MsgHwndCreate(m_pImpl);
        if (m_pImpl->m_hWnd == nullptr)
            return false;
        m_pImpl->m_pParent = pParent;
        m_pImpl->m_nID = nID;
    }
    PreSubclassWindow();
    return true;
}

// The HWND goes with its timers and the notifications still queued for it;
// our own queue is emptied under the lock, so a late post fails instead.
void CMsgWnd::DestroyWindow()
{
    void* hWnd;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
        hWnd = m_pImpl->m_hWnd;
        m_pImpl->m_hWnd = nullptr;
        m_pImpl->m_pParent = nullptr;
        m_pImpl->m_queue.clear();
    }
    if (hWnd == nullptr)
        return;
    m_pImpl->m_setTimers.clear();
    MsgHwndDestroy(hWnd);
}

bool CMsgWnd::IsWindow() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_hWnd != nullptr;
}

CMsgTarget* CMsgWnd::GetParent() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_pParent;
}

uint32_t CMsgWnd::GetDlgCtrlID() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_hWnd != nullptr ? m_pImpl->m_nID : 0;
}

// A notification that cannot be posted (the thread's queue is full) takes its
// message back out: reported as dropped rather than delivered one post late.
bool CMsgWnd::PostWndMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    if (m_pImpl->m_hWnd == nullptr)
        return false;
    m_pImpl->m_queue.push_back(CQueuedMsg{nMsg, wParam, lParam});
    if (!MsgHwndNotify(m_pImpl->m_hWnd)) {
        m_pImpl->m_queue.pop_back();
        return false;
    }
    return true;
}

bool CMsgWnd::SetTimer(uint32_t nIDEvent, uint32_t nElapseMs)
{
    void* hWnd = m_pImpl->m_hWnd;   // only the window thread changes it
    if (hWnd == nullptr || !MsgHwndIsOwnThread(hWnd))
        return false;
    // SetTimer on a running id restarts it from zero, as the contract asks.
    if (!MsgHwndSetTimer(hWnd, nIDEvent, nElapseMs))
        return false;
    m_pImpl->m_setTimers.insert(nIDEvent);
    return true;
}

bool CMsgWnd::KillTimer(uint32_t nIDEvent)
{
    void* hWnd = m_pImpl->m_hWnd;
    if (hWnd == nullptr || m_pImpl->m_setTimers.erase(nIDEvent) == 0)
        return false;
    MsgHwndKillTimer(hWnd, nIDEvent);
    return true;
}

bool CMsgWnd::IsTimerSet(uint32_t nIDEvent) const
{
    return m_pImpl->m_setTimers.count(nIDEvent) != 0;
}

void CMsgWnd::PreSubclassWindow() {}

LRESULT CMsgWnd::WindowProc(uint32_t, WPARAM, LPARAM)
{
    return 0;
}
