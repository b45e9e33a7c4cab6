// The window layer without a toolkit: one process-wide loop holds every
// window's posted messages (one queue, so posting order holds across windows
// too) and timers, all under one mutex. A handler is always called with the
// mutex released, so it may post, set timers, destroy windows or turn the loop
// again. A timer fires at most once per period.
#include "link/msg_loop.h"
#include "link/msg_wnd.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using CClock = std::chrono::steady_clock;

struct CPostedMsg {
    uint64_t m_qwSeq;   // posting order
    CMsgWndImpl* m_pWnd;
    uint32_t m_nMsg;
    WPARAM m_wParam;
    LPARAM m_lParam;
};

struct CLoopTimer {
    CMsgWndImpl* m_pWnd;
    uint32_t m_nID;
    std::chrono::milliseconds m_period;
    CClock::time_point m_due;
};

// What one turn of the loop found to deliver, taken out under the lock.
struct CDelivery {
    CMsgWndImpl* m_pWnd = nullptr;
    uint32_t m_nMsg = 0;
    WPARAM m_wParam = 0;
    LPARAM m_lParam = 0;
};

class CLoop {
public:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<CPostedMsg> m_posted;
    std::vector<CLoopTimer> m_timers;
    bool m_bQuit = false;
    bool m_bPostedFirst = false;
    uint64_t m_qwNextSeq = 0;

    // Under the lock: a message posted before seq qwSeq is still queued.
    bool HoldsPostedBefore(uint64_t qwSeq) const { return !m_posted.empty() && m_posted.front().m_qwSeq < qwSeq; }

    // Under the lock: the next message due now, if any. Timers and posted
    // messages take turns, so that neither a flood of posts nor a timer that
    // is always due (period 0) holds the other back.
    bool TakeDue(CClock::time_point now, CDelivery* pOut)
    {
        if (m_bPostedFirst && TakePosted(pOut)) {
            m_bPostedFirst = false;
            return true;
        }
        if (TakeTimer(now, pOut)) {
            m_bPostedFirst = true;
            return true;
        }
        return TakePosted(pOut);
    }

    bool TakeTimer(CClock::time_point now, CDelivery* pOut)
    {
        for (CLoopTimer& timer : m_timers) {
            if (timer.m_due <= now) {
                timer.m_due = now + timer.m_period;
                *pOut = CDelivery{timer.m_pWnd, WM_TIMER, timer.m_nID, 0};
                return true;
            }
        }
        return false;
    }

    bool TakePosted(CDelivery* pOut)
    {
        if (m_posted.empty())
            return false;
        const CPostedMsg& msg = m_posted.front();
        *pOut = CDelivery{msg.m_pWnd, msg.m_nMsg, msg.m_wParam, msg.m_lParam};
        m_posted.pop_front();
        return true;
    }

    // Under the lock: the earliest timer, or the deadline if that comes first.
    CClock::time_point NextWake(CClock::time_point deadline) const
    {
        CClock::time_point wake = deadline;
        for (const CLoopTimer& timer : m_timers)
            wake = std::min(wake, timer.m_due);
        return wake;
    }

    void Forget(CMsgWndImpl* pWnd)
    {
        m_posted.erase(std::remove_if(m_posted.begin(), m_posted.end(),
                                      [pWnd](const CPostedMsg& msg) { return msg.m_pWnd == pWnd; }),
                       m_posted.end());
        m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                      [pWnd](const CLoopTimer& timer) { return timer.m_pWnd == pWnd; }),
                       m_timers.end());
    }

    std::vector<CLoopTimer>::iterator FindTimer(CMsgWndImpl* pWnd, uint32_t nID)
    {
        return std::find_if(m_timers.begin(), m_timers.end(), [pWnd, nID](const CLoopTimer& timer) {
            return timer.m_pWnd == pWnd && timer.m_nID == nID;
        });
    }
};

CLoop& Loop()
{
    static CLoop s_loop;
    return s_loop;
}

} // namespace

class CMsgWndImpl {
public:
    explicit CMsgWndImpl(CMsgWnd* pWnd) : m_pWnd(pWnd) {}

    void Deliver(const CDelivery& delivery) { m_pWnd->WindowProc(delivery.m_nMsg, delivery.m_wParam, delivery.m_lParam); }
    bool OnWindowThread() const { return m_bCreated && m_idThread == std::this_thread::get_id(); }

    CMsgWnd* m_pWnd;
    // Under the loop's mutex: other threads post while the window thread
    // destroys the window.
    bool m_bCreated = false;
    CMsgTarget* m_pParent = nullptr;
    uint32_t m_nID = 0;
    std::thread::id m_idThread;
};

// Runs until quit or the deadline, but not before everything posted before
// the call was delivered; true when quit ended it.
static bool RunUntil(CClock::time_point deadline)
{
    CLoop& loop = Loop();
    uint64_t qwSeqAtStart;
    {
        std::lock_guard<std::mutex> lock(loop.m_mtx);
        qwSeqAtStart = loop.m_qwNextSeq;
    }
    for (;;) {
        CDelivery delivery;
        {
            std::unique_lock<std::mutex> lock(loop.m_mtx);
            for (;;) {
                if (loop.m_bQuit) {
                    loop.m_bQuit = false;
                    return true;
                }
                const CClock::time_point now = CClock::now();
                if (now >= deadline && !loop.HoldsPostedBefore(qwSeqAtStart))
                    return false;
                if (loop.TakeDue(now, &delivery))
                    break;
                loop.m_cv.wait_until(lock, loop.NextWake(deadline));
            }
        }
        // The window was alive when its message was taken; only this thread
        // could have destroyed it since, and it has not.
        delivery.m_pWnd->Deliver(delivery);
    }
}

void MsgLoopRun()
{
    RunUntil(CClock::time_point::max());
}

bool MsgLoopRunFor(uint32_t nMs)
{
    return RunUntil(CClock::now() + std::chrono::milliseconds(nMs));
}

void MsgLoopQuit()
{
    CLoop& loop = Loop();
    std::lock_guard<std::mutex> lock(loop.m_mtx);
    loop.m_bQuit = true;
    loop.m_cv.notify_all();
}

CMsgWnd::CMsgWnd() : m_pImpl(new CMsgWndImpl(this)) {}

CMsgWnd::~CMsgWnd()
{
    DestroyWindow();
    delete m_pImpl;
}

bool CMsgWnd::CreateWnd(CMsgTarget* pParent, uint32_t nID)
{
    {
        std::lock_guard<std::mutex> lock(Loop().m_mtx);
        if (m_pImpl->m_bCreated)
            return false;
        m_pImpl->m_bCreated = true;
        m_pImpl->m_pParent = pParent;
        m_pImpl->m_nID = nID;
        m_pImpl->m_idThread = std::this_thread::get_id();
    }
    PreSubclassWindow();
    return true;
}

void CMsgWnd::DestroyWindow()
{
    std::lock_guard<std::mutex> lock(Loop().m_mtx);
    m_pImpl->m_bCreated = false;
    m_pImpl->m_pParent = nullptr;
    Loop().Forget(m_pImpl);
}

bool CMsgWnd::IsWindow() const
{
    std::lock_guard<std::mutex> lock(Loop().m_mtx);
    return m_pImpl->m_bCreated;
}

CMsgTarget* CMsgWnd::GetParent() const
{
    std::lock_guard<std::mutex> lock(Loop().m_mtx);
    return m_pImpl->m_pParent;
}

uint32_t CMsgWnd::GetDlgCtrlID() const
{
    std::lock_guard<std::mutex> lock(Loop().m_mtx);
    return m_pImpl->m_bCreated ? m_pImpl->m_nID : 0;
}

bool CMsgWnd::PostWndMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    CLoop& loop = Loop();
    std::lock_guard<std::mutex> lock(loop.m_mtx);
    if (!m_pImpl->m_bCreated)
        return false;
    loop.m_posted.push_back(CPostedMsg{loop.m_qwNextSeq++, m_pImpl, nMsg, wParam, lParam});
    loop.m_cv.notify_all();
    return true;
}

bool CMsgWnd::SetTimer(uint32_t nIDEvent, uint32_t nElapseMs)
{
    CLoop& loop = Loop();
    std::lock_guard<std::mutex> lock(loop.m_mtx);
    if (!m_pImpl->OnWindowThread())
        return false;
    const std::chrono::milliseconds period(nElapseMs);
    const auto it = loop.FindTimer(m_pImpl, nIDEvent);
    if (it != loop.m_timers.end())
        loop.m_timers.erase(it);   // a running id restarts from zero
    loop.m_timers.push_back(CLoopTimer{m_pImpl, nIDEvent, period, CClock::now() + period});
    loop.m_cv.notify_all();
    return true;
}

bool CMsgWnd::KillTimer(uint32_t nIDEvent)
{
    CLoop& loop = Loop();
    std::lock_guard<std::mutex> lock(loop.m_mtx);
    const auto it = loop.FindTimer(m_pImpl, nIDEvent);
    if (!m_pImpl->m_bCreated || it == loop.m_timers.end())
        return false;
    loop.m_timers.erase(it);
    return true;
}

bool CMsgWnd::IsTimerSet(uint32_t nIDEvent) const
{
    CLoop& loop = Loop();
    std::lock_guard<std::mutex> lock(loop.m_mtx);
    return loop.FindTimer(m_pImpl, nIDEvent) != loop.m_timers.end();
}

void CMsgWnd::PreSubclassWindow() {}

LRESULT CMsgWnd::WindowProc(uint32_t, WPARAM, LPARAM)
{
    return 0;
}
