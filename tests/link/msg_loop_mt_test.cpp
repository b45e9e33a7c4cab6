// The portable window loop itself: how runs end (quit from any thread, a quit
// before the run, a time limit), what a bounded run still delivers, nested
// runs inside a handler, fairness between timers and posts, order across
// windows.
#include "link/msg_loop.h"
#include "link/msg_wnd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/loop_wait.h"
#include "common/test_clock.h"

namespace {

constexpr uint32_t WM_TEST = WM_USER + 9;

struct CGot {
    const void* m_pWnd;
    uint32_t m_nMsg;
    WPARAM m_wParam;
};

// Windows that write into one shared log, so that order across them shows.
class CLogWnd : public CMsgWnd {
public:
    explicit CLogWnd(std::vector<CGot>* pLog) : m_pLog(pLog) { CreateWnd(nullptr, 1); }
    std::function<void(uint32_t, WPARAM)> m_fnOnMsg;

protected:
    LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM) override
    {
        m_pLog->push_back(CGot{this, nMsg, wParam});
        if (m_fnOnMsg)
            m_fnOnMsg(nMsg, wParam);
        return 0;
    }

private:
    std::vector<CGot>* m_pLog;
};

size_t CountOf(const std::vector<CGot>& vecLog, uint32_t nMsg)
{
    size_t n = 0;
    for (const CGot& got : vecLog)
        n += got.m_nMsg == nMsg ? 1 : 0;
    return n;
}

} // namespace

TEST(MsgLoopRuns, QuitFromAnotherThreadEndsTheRunAndLeavesWhatIsQueued)
{
    std::vector<CGot> vecLog;
    CLogWnd wnd(&vecLog);
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        wnd.PostWndMessage(WM_TEST, 1, 0);
        MsgLoopQuit();
    });
    const int64_t nStart = TestNowMs();
    MsgLoopRun();
    other.join();
    EXPECT_LT(TestNowMs() - nStart, 5000);
    // The quit takes effect at once; what was queued waits for the next run.
    EXPECT_FALSE(MsgLoopRunFor(0));
    ASSERT_EQ(vecLog.size(), 1u) << "the message posted before the quit was lost";
    EXPECT_EQ(vecLog[0].m_wParam, 1u);
}

TEST(MsgLoopRuns, QuitBeforeTheRunIsNotLostAndEndsOnlyOneRun)
{
    MsgLoopQuit();
    const int64_t nStart = TestNowMs();
    EXPECT_TRUE(MsgLoopRunFor(5000));
    EXPECT_LT(TestNowMs() - nStart, 1000);
    EXPECT_FALSE(MsgLoopRunFor(20)) << "one quit ended two runs";
}

TEST(MsgLoopRuns, HandlerThatQuitsEndsTheRunItIsCalledFrom)
{
    std::vector<CGot> vecLog;
    CLogWnd wnd(&vecLog);
    wnd.m_fnOnMsg = [](uint32_t, WPARAM wParam) {
        if (wParam == 2)
            MsgLoopQuit();
    };
    for (WPARAM w = 1; w <= 3; ++w)
        ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, w, 0));
    EXPECT_TRUE(MsgLoopRunFor(5000));
    ASSERT_EQ(vecLog.size(), 2u);
    EXPECT_FALSE(MsgLoopRunFor(0));
    EXPECT_EQ(vecLog.size(), 3u) << "the message after the quit stays for the next run";
}

TEST(MsgLoopRuns, BoundedRunTakesItsTimeAndDeliversEverythingPostedBefore)
{
    std::vector<CGot> vecLog;
    CLogWnd wnd(&vecLog);
    for (WPARAM w = 0; w < 2000; ++w)
        ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, w, 0));
    EXPECT_FALSE(MsgLoopRunFor(0));
    ASSERT_EQ(vecLog.size(), 2000u);
    for (size_t i = 0; i < vecLog.size(); ++i)
        ASSERT_EQ(vecLog[i].m_wParam, i);

    const int64_t nStart = TestNowMs();
    EXPECT_FALSE(MsgLoopRunFor(60));
    const int64_t nTook = TestNowMs() - nStart;
    EXPECT_GE(nTook, 60);
    EXPECT_LT(nTook, 2000);
}

TEST(MsgLoopRuns, NestedRunInsideAHandlerDeliversAndReturnsToTheOuterOne)
{
    std::vector<CGot> vecLog;
    CLogWnd wnd(&vecLog);
    std::vector<int> vecSteps;
    wnd.m_fnOnMsg = [&](uint32_t, WPARAM wParam) {
        if (wParam != 1)
            return;
        vecSteps.push_back(1);
        WaitUntil([&] { return vecLog.size() >= 2; }, 5000);   // message 2 arrives in here
        vecSteps.push_back(3);
    };
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 1, 0));
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 2, 0));
    ASSERT_TRUE(WaitUntil([&] { return vecSteps.size() == 2; }, 5000));
    ASSERT_EQ(vecLog.size(), 2u);
    EXPECT_EQ(vecLog[1].m_wParam, 2u);
    EXPECT_EQ(vecSteps, (std::vector<int>{1, 3}));
}

TEST(MsgLoopFairness, TimerThatIsAlwaysDueDoesNotStarvePostsNorTheOtherWay)
{
    std::vector<CGot> vecLog;
    CLogWnd wnd(&vecLog);
    ASSERT_TRUE(wnd.SetTimer(1, 0));
    // A poster that never stops while the test waits.
    std::atomic<bool> bRun{true};
    std::thread poster([&] {
        while (bRun.load())
            wnd.PostWndMessage(WM_USER + 1, 0, 0);
    });
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 7, 0));
    const bool bGotBoth = WaitUntil([&] { return CountOf(vecLog, WM_TEST) == 1 && CountOf(vecLog, WM_TIMER) >= 50; }, 5000);
    bRun.store(false);
    poster.join();
    wnd.DestroyWindow();
    EXPECT_TRUE(bGotBoth) << "posts " << CountOf(vecLog, WM_TEST) << ", timers " << CountOf(vecLog, WM_TIMER);
}

TEST(MsgLoopOrder, PostsToTwoWindowsArriveInPostingOrder)
{
    std::vector<CGot> vecLog;
    CLogWnd first(&vecLog);
    CLogWnd second(&vecLog);
    for (WPARAM w = 0; w < 100; ++w)
        ASSERT_TRUE((w % 3 == 0 ? first : second).PostWndMessage(WM_TEST, w, 0));
    ASSERT_TRUE(WaitUntil([&] { return vecLog.size() == 100; }, 5000));
    for (size_t i = 0; i < vecLog.size(); ++i) {
        EXPECT_EQ(vecLog[i].m_wParam, i);
        EXPECT_EQ(vecLog[i].m_pWnd, i % 3 == 0 ? static_cast<const void*>(&first) : static_cast<const void*>(&second));
    }
}

TEST(MsgLoopOrder, DestroyingOneWindowLeavesTheOthersMessagesAndTimers)
{
    std::vector<CGot> vecLog;
    CLogWnd gone(&vecLog);
    CLogWnd kept(&vecLog);
    ASSERT_TRUE(gone.SetTimer(1, 5));
    ASSERT_TRUE(kept.SetTimer(1, 5));
    ASSERT_TRUE(gone.PostWndMessage(WM_TEST, 1, 0));
    ASSERT_TRUE(kept.PostWndMessage(WM_TEST, 2, 0));
    gone.DestroyWindow();
    ASSERT_TRUE(WaitUntil([&] { return CountOf(vecLog, WM_TIMER) >= 3; }, 5000));
    for (const CGot& got : vecLog)
        EXPECT_EQ(got.m_pWnd, &kept);
    EXPECT_EQ(CountOf(vecLog, WM_TEST), 1u);
    EXPECT_TRUE(kept.IsTimerSet(1));
    EXPECT_FALSE(gone.IsTimerSet(1));
}
