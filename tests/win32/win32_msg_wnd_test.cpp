// The window layer's Win32 backend on real HWNDs: posting order from several
// threads, posted numbers that are system messages, timers by id, and
// destroyed windows dropping what was queued.
#include "link/msg_wnd.h"
#include "tests/win32/msg_pump_win32.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t WM_TEST = WM_USER + 7;
constexpr uint32_t WM_SYS_QUIT = 0x0012;     // a system number: must arrive, not end the loop
constexpr uint32_t WM_SYS_SETTEXT = 0x000C;  // cannot be posted as itself
constexpr uint32_t TIMER_ID = 7;
constexpr uint32_t TIMER_MS = 20;

class CRecordWnd : public CMsgWnd {
public:
    std::vector<std::pair<uint32_t, WPARAM>> m_vecGot;
    std::vector<uint32_t> m_vecThreads;
    bool m_bDestroyOnFirst = false;
    bool m_bKillTimerOnFirst = false;
    size_t m_nWanted = 0;
    bool m_bDone = false;

protected:
    LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM) override
    {
        m_vecGot.emplace_back(nMsg, wParam);
        m_vecThreads.push_back(CurrentThreadId());
        if (m_bDestroyOnFirst)
            DestroyWindow();
        if (m_bKillTimerOnFirst && nMsg == WM_TIMER)
            KillTimer(static_cast<uint32_t>(wParam));
        m_bDone = m_vecGot.size() >= m_nWanted;
        return 0;
    }
};

TEST(Win32MsgWnd, PostsFromManyThreadsArriveOnTheWindowThreadEachInOrder)
{
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 500;
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 5));
    EXPECT_EQ(wnd.GetDlgCtrlID(), 5u);
    wnd.m_nWanted = THREADS * PER_THREAD;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < THREADS; ++t) {
        vecThreads.emplace_back([&wnd, t] {
            for (int i = 0; i < PER_THREAD; ++i)
                EXPECT_TRUE(wnd.PostWndMessage(WM_TEST, static_cast<WPARAM>(t * PER_THREAD + i), 0));
        });
    }
    for (std::thread& th : vecThreads)
        th.join();
    ASSERT_TRUE(PumpUntil(&wnd.m_bDone, 10000));
    std::vector<int> vecNext(THREADS, 0);
    for (const auto& got : wnd.m_vecGot) {
        const int t = static_cast<int>(got.second) / PER_THREAD;
        EXPECT_EQ(static_cast<int>(got.second) % PER_THREAD, vecNext[t]++);
    }
    for (uint32_t idThread : wnd.m_vecThreads)
        EXPECT_EQ(idThread, CurrentThreadId());
}

TEST(Win32MsgWnd, SystemNumbersArriveAsPostedAndEndNothing)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    wnd.m_nWanted = 4;
    EXPECT_TRUE(wnd.PostWndMessage(WM_SYS_QUIT, 1, 0));
    EXPECT_TRUE(wnd.PostWndMessage(WM_SYS_SETTEXT, 2, 0));
    EXPECT_TRUE(wnd.PostWndMessage(WM_TIMER, 3, 0));
    EXPECT_TRUE(wnd.PostWndMessage(WM_TEST, 4, 0));
    ASSERT_TRUE(PumpUntil(&wnd.m_bDone, 5000));
    const std::vector<std::pair<uint32_t, WPARAM>> vecWant = {
        { WM_SYS_QUIT, 1 }, { WM_SYS_SETTEXT, 2 }, { WM_TIMER, 3 }, { WM_TEST, 4 } };
    EXPECT_EQ(wnd.m_vecGot, vecWant);
}

TEST(Win32MsgWnd, DestroyDropsQueuedMessagesAndLaterPostsFail)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    for (WPARAM i = 0; i < 10; ++i)
        EXPECT_TRUE(wnd.PostWndMessage(WM_TEST, i, 0));
    wnd.DestroyWindow();
    EXPECT_FALSE(wnd.IsWindow());
    EXPECT_FALSE(wnd.PostWndMessage(WM_TEST, 99, 0));
    // A new window of the same object gets only what is posted to it.
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 2));
    EXPECT_FALSE(wnd.CreateWnd(nullptr, 3));
    wnd.m_nWanted = 1;
    EXPECT_TRUE(wnd.PostWndMessage(WM_TEST, 100, 0));
    PumpMessagesFor(100);
    ASSERT_EQ(wnd.m_vecGot.size(), 1u);
    EXPECT_EQ(wnd.m_vecGot[0].second, 100u);
}

TEST(Win32MsgWnd, DestroyInsideTheHandlerDropsTheRest)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    wnd.m_bDestroyOnFirst = true;
    for (WPARAM i = 0; i < 5; ++i)
        wnd.PostWndMessage(WM_TEST, i, 0);
    PumpMessagesFor(100);
    EXPECT_EQ(wnd.m_vecGot.size(), 1u);
    EXPECT_FALSE(wnd.IsWindow());
}

TEST(Win32MsgWnd, TimerRepeatsByIdUntilKilled)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    EXPECT_FALSE(wnd.KillTimer(TIMER_ID));
    ASSERT_TRUE(wnd.SetTimer(TIMER_ID, TIMER_MS));
    EXPECT_TRUE(wnd.IsTimerSet(TIMER_ID));
    wnd.m_nWanted = 3;
    ASSERT_TRUE(PumpUntil(&wnd.m_bDone, 5000));
    for (const auto& got : wnd.m_vecGot)
        EXPECT_EQ(got, std::make_pair(WM_TIMER, static_cast<WPARAM>(TIMER_ID)));
    EXPECT_TRUE(wnd.KillTimer(TIMER_ID));
    EXPECT_FALSE(wnd.IsTimerSet(TIMER_ID));
    const size_t nAtKill = wnd.m_vecGot.size();
    PumpMessagesFor(5 * TIMER_MS);
    EXPECT_EQ(wnd.m_vecGot.size(), nAtKill);
}

TEST(Win32MsgWnd, TimerKilledInItsHandlerFiresOnceAndOtherThreadsCannotSetOne)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    bool bSetElsewhere = true;
    std::thread([&] { bSetElsewhere = wnd.SetTimer(TIMER_ID, TIMER_MS); }).join();
    EXPECT_FALSE(bSetElsewhere);
    wnd.m_bKillTimerOnFirst = true;
    ASSERT_TRUE(wnd.SetTimer(TIMER_ID, 0));   // the system's minimum period
    PumpMessagesFor(10 * TIMER_MS);
    EXPECT_EQ(wnd.m_vecGot.size(), 1u);
}

TEST(Win32MsgWnd, DestroyKillsTimers)
{
    CRecordWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    ASSERT_TRUE(wnd.SetTimer(TIMER_ID, TIMER_MS));
    wnd.DestroyWindow();
    EXPECT_FALSE(wnd.IsTimerSet(TIMER_ID));
    PumpMessagesFor(5 * TIMER_MS);
    EXPECT_TRUE(wnd.m_vecGot.empty());
}

} // namespace
