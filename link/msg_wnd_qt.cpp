// The window layer on Qt: one QObject per window, living on the creating
// thread. Posted messages wait in a queue of our own; each post also posts one
// bare Qt event that makes the window thread take the next message. The
// message itself never travels inside the Qt event, and the event is created
// under our lock, so the hand-over between threads is ordered by our own
// mutex (which the thread checkers can see) rather than by Qt's internals.
// Timers are QObject timers mapped from our ids.
#include "link/msg_wnd.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <QTimerEvent>

#include <climits>
#include <deque>
#include <map>
#include <mutex>

static QEvent::Type MsgEventType()
{
    static const QEvent::Type s_type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return s_type;
}

struct CQueuedMsg {
    uint32_t m_nMsg;
    WPARAM m_wParam;
    LPARAM m_lParam;
};

class CMsgWndObject;

class CMsgWndImpl {
public:
    explicit CMsgWndImpl(CMsgWnd* pWnd) : m_pWnd(pWnd) {}

    void DeliverNextPosted()
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
    void DeliverTimer(int nQtId)
    {
        for (const auto& it : m_mapTimers) {
            if (it.second == nQtId) {
                m_pWnd->WindowProc(WM_TIMER, it.first, 0);
                return;   // the handler may have changed the map
            }
        }
    }

    CMsgWnd* m_pWnd;
    // Guards m_pObject and m_queue: other threads post while the window
    // thread takes messages or destroys the window.
    mutable std::mutex m_mtx;
    CMsgWndObject* m_pObject = nullptr;
    std::deque<CQueuedMsg> m_queue;
    CMsgTarget* m_pParent = nullptr;
    uint32_t m_nID = 0;
    std::map<uint32_t, int> m_mapTimers;   // our id -> Qt timer id; window thread only
};

class CMsgWndObject : public QObject {
public:
    explicit CMsgWndObject(CMsgWndImpl* pImpl) : m_pImpl(pImpl) {}

    // Cleared when the window is destroyed; events still in flight then do nothing.
    CMsgWndImpl* m_pImpl;
    int m_nDispatchDepth = 0;

protected:
    // Only our own event type is ever posted to this object; the event is not
    // read here (see the top of the file).
    void customEvent(QEvent*) override
    {
        if (m_pImpl) {
            // After the handler returns only this object is touched: the
            // handler may have destroyed the window or its owner, but this
            // object outlives the dispatch (deleteLater).
            ++m_nDispatchDepth;
            m_pImpl->DeliverNextPosted();
            --m_nDispatchDepth;
        }
    }

    void timerEvent(QTimerEvent* pEvent) override
    {
        if (m_pImpl) {
            ++m_nDispatchDepth;
            m_pImpl->DeliverTimer(pEvent->timerId());
            --m_nDispatchDepth;
        }
    }
};

CMsgWnd::CMsgWnd() : m_pImpl(new CMsgWndImpl(this)) {}

CMsgWnd::~CMsgWnd()
{
    DestroyWindow();
    delete m_pImpl;
}

bool CMsgWnd::CreateWnd(CMsgTarget* pParent, uint32_t nID)
{
    if (QCoreApplication::instance() == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
        if (m_pImpl->m_pObject != nullptr)
            return false;
        m_pImpl->m_pObject = new CMsgWndObject(m_pImpl);
        m_pImpl->m_pParent = pParent;
        m_pImpl->m_nID = nID;
    }
    PreSubclassWindow();
    return true;
}

void CMsgWnd::DestroyWindow()
{
    CMsgWndObject* pObject;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
        pObject = m_pImpl->m_pObject;
        m_pImpl->m_pObject = nullptr;
        m_pImpl->m_pParent = nullptr;
        m_pImpl->m_queue.clear();
    }
    if (pObject == nullptr)
        return;
    for (const auto& it : m_pImpl->m_mapTimers)
        pObject->killTimer(it.second);
    m_pImpl->m_mapTimers.clear();
    pObject->m_pImpl = nullptr;
    // Every post made before the pointer was cleared is in the queue by now.
    QCoreApplication::removePostedEvents(pObject, MsgEventType());
    if (pObject->m_nDispatchDepth > 0)
        pObject->deleteLater();
    else
        delete pObject;
}

bool CMsgWnd::IsWindow() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_pObject != nullptr;
}

CMsgTarget* CMsgWnd::GetParent() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_pParent;
}

uint32_t CMsgWnd::GetDlgCtrlID() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    return m_pImpl->m_pObject != nullptr ? m_pImpl->m_nID : 0;
}

bool CMsgWnd::PostWndMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_mtx);
    if (m_pImpl->m_pObject == nullptr)
        return false;
    m_pImpl->m_queue.push_back(CQueuedMsg{nMsg, wParam, lParam});
    QCoreApplication::postEvent(m_pImpl->m_pObject, new QEvent(MsgEventType()));
    return true;
}

bool CMsgWnd::SetTimer(uint32_t nIDEvent, uint32_t nElapseMs)
{
    CMsgWndObject* pObject = m_pImpl->m_pObject;   // only the window thread changes it
    if (pObject == nullptr || pObject->thread() != QThread::currentThread())
        return false;
    KillTimer(nIDEvent);
    const int nMs = nElapseMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(nElapseMs);
    const int nQtId = pObject->startTimer(nMs, Qt::PreciseTimer);
    if (nQtId == 0)
        return false;
    m_pImpl->m_mapTimers[nIDEvent] = nQtId;
    return true;
}

bool CMsgWnd::KillTimer(uint32_t nIDEvent)
{
    CMsgWndObject* pObject = m_pImpl->m_pObject;
    auto it = m_pImpl->m_mapTimers.find(nIDEvent);
    if (pObject == nullptr || it == m_pImpl->m_mapTimers.end())
        return false;
    pObject->killTimer(it->second);
    m_pImpl->m_mapTimers.erase(it);
    return true;
}

bool CMsgWnd::IsTimerSet(uint32_t nIDEvent) const
{
    return m_pImpl->m_mapTimers.count(nIDEvent) != 0;
}

void CMsgWnd::PreSubclassWindow() {}

LRESULT CMsgWnd::WindowProc(uint32_t, WPARAM, LPARAM)
{
    return 0;
}
