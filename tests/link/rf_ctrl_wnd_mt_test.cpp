// The controller's window layer: posting from many threads, timers by id,
// and what happens to messages once the window is gone. Built once per
// backend (the portable loop, and Qt with QM_TEST_WND_QT).
#include "link/msg_wnd.h"
#include "common/test_clock.h"
#include "tests/link/rf_ctrl_test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

QM_REGISTER_WND_ENVIRONMENT();

namespace {

constexpr uint32_t WM_TEST = WM_USER + 7;

struct CRecord {
    uint32_t m_nMsg;
    WPARAM m_wParam;
    LPARAM m_lParam;
    std::thread::id m_thread;
    int64_t m_nAtMs;
};

class CRecordingWnd : public CMsgWnd {
public:
    std::vector<CRecord> m_vecGot;
    int64_t m_nStartMs = TestNowMs();
    int m_nPreSubclassCalls = 0;
    std::function<void(CRecordingWnd&, const CRecord&)> m_fnOnMsg;

    int64_t ElapsedMs() const { return TestNowMs() - m_nStartMs; }
    ~CRecordingWnd() override { DestroyWindow(); }

    int CountTimer(uint32_t nId) const
    {
        int n = 0;
        for (const CRecord& r : m_vecGot)
            n += (r.m_nMsg == WM_TIMER && r.m_wParam == nId) ? 1 : 0;
        return n;
    }

protected:
    void PreSubclassWindow() override { ++m_nPreSubclassCalls; }
    LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override
    {
        CRecord r{nMsg, wParam, lParam, std::this_thread::get_id(), ElapsedMs()};
        m_vecGot.push_back(r);
        if (m_fnOnMsg)
            m_fnOnMsg(*this, r);
        return 0;
    }
};

class CNullTarget : public CMsgTarget {
public:
    LRESULT OnMessage(uint32_t, WPARAM, LPARAM) override { return 0; }
};

} // namespace

TEST(MsgWndLifecycle, CreateAttachesParentAndIdOnceAndDestroyDetaches)
{
    CNullTarget parent;
    CRecordingWnd wnd;
    EXPECT_FALSE(wnd.IsWindow());
    EXPECT_EQ(wnd.GetParent(), nullptr);
    EXPECT_FALSE(wnd.PostWndMessage(WM_TEST, 1, 2));
    EXPECT_FALSE(wnd.SetTimer(5, 10));

    ASSERT_TRUE(wnd.CreateWnd(&parent, 110));
    EXPECT_EQ(wnd.m_nPreSubclassCalls, 1);
    EXPECT_TRUE(wnd.IsWindow());
    EXPECT_EQ(wnd.GetParent(), &parent);
    EXPECT_EQ(wnd.GetDlgCtrlID(), 110u);
    EXPECT_FALSE(wnd.CreateWnd(&parent, 111)) << "a second window on the same object";
    EXPECT_EQ(wnd.GetDlgCtrlID(), 110u);

    wnd.DestroyWindow();
    EXPECT_FALSE(wnd.IsWindow());
    EXPECT_EQ(wnd.GetParent(), nullptr);
    wnd.DestroyWindow();   // harmless twice
    ASSERT_TRUE(wnd.CreateWnd(&parent, 112)) << "a destroyed window can be created again";
    EXPECT_EQ(wnd.m_nPreSubclassCalls, 2);
}

TEST(MsgWndPosting, DeliveredLaterOnTheWindowThreadWithParameters)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 0xABCD, -5));
    EXPECT_TRUE(wnd.m_vecGot.empty()) << "a posted message must not run inside the post";
    ASSERT_TRUE(WaitUntil([&] { return !wnd.m_vecGot.empty(); }, 5000));
    ASSERT_EQ(wnd.m_vecGot.size(), 1u);
    EXPECT_EQ(wnd.m_vecGot[0].m_nMsg, WM_TEST);
    EXPECT_EQ(wnd.m_vecGot[0].m_wParam, 0xABCDu);
    EXPECT_EQ(wnd.m_vecGot[0].m_lParam, -5);
    EXPECT_EQ(wnd.m_vecGot[0].m_thread, std::this_thread::get_id());
}

TEST(MsgWndPosting, ManyThreadsKeepTheirPostingOrder)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 1500;
    // The sequence number is taken and posted under one lock, so the global
    // posting order is exactly the sequence order.
    std::mutex mtxOrder;
    int nNext = 0;
    std::atomic<int> nRefused{0};
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < THREADS; ++t) {
        vecThreads.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                std::lock_guard<std::mutex> lock(mtxOrder);
                if (!wnd.PostWndMessage(WM_TEST, static_cast<WPARAM>(t), nNext++))
                    ++nRefused;
            }
        });
    }
    // The window thread posts too, and keeps working the queue meanwhile.
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard<std::mutex> lock(mtxOrder);
            wnd.PostWndMessage(WM_TEST, THREADS, nNext++);
        }
        ProcessPending();
    }
    for (std::thread& th : vecThreads)
        th.join();
    const size_t nTotal = THREADS * PER_THREAD + 200;
    ASSERT_TRUE(WaitUntil([&] { return wnd.m_vecGot.size() >= nTotal; }, 20000));
    EXPECT_EQ(nRefused.load(), 0);
    ASSERT_EQ(wnd.m_vecGot.size(), nTotal);
    std::vector<int> vecLastPerThread(THREADS + 1, -1);
    for (size_t i = 0; i < nTotal; ++i) {
        const CRecord& r = wnd.m_vecGot[i];
        ASSERT_EQ(r.m_lParam, static_cast<LPARAM>(i)) << "delivery order differs from posting order";
        EXPECT_EQ(r.m_thread, std::this_thread::get_id());
        ASSERT_GT(r.m_lParam, vecLastPerThread[r.m_wParam]);
        vecLastPerThread[r.m_wParam] = static_cast<int>(r.m_lParam);
    }
}

TEST(MsgWndPosting, DestroyedWindowDropsQueuedMessagesAndRefusesNewOnes)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 0, i));
    std::thread poster([&] { wnd.PostWndMessage(WM_TEST, 1, 99); });
    poster.join();
    wnd.DestroyWindow();
    EXPECT_FALSE(wnd.PostWndMessage(WM_TEST, 0, 3));
    PumpFor(50);
    EXPECT_TRUE(wnd.m_vecGot.empty()) << "a message queued for a destroyed window was delivered";

    // A new window on the same object does not get the old window's messages.
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 0, 42));
    ASSERT_TRUE(WaitUntil([&] { return !wnd.m_vecGot.empty(); }, 5000));
    PumpFor(20);
    ASSERT_EQ(wnd.m_vecGot.size(), 1u);
    EXPECT_EQ(wnd.m_vecGot[0].m_lParam, 42);
}

TEST(MsgWndPosting, PostingWhileTheWindowIsDestroyedIsSafe)
{
    for (int round = 0; round < 20; ++round) {
        auto pWnd = std::make_unique<CRecordingWnd>();
        ASSERT_TRUE(pWnd->CreateWnd(nullptr, 1));
        std::atomic<bool> bStop{false};
        std::atomic<int> nPosted{0};
        std::thread poster([&] {
            while (!bStop.load()) {
                if (pWnd->PostWndMessage(WM_TEST, 0, 0))
                    ++nPosted;
                else
                    std::this_thread::yield();
            }
        });
        ASSERT_TRUE(WaitUntil([&] { return nPosted.load() > 10; }, 5000));
        pWnd->DestroyWindow();
        const size_t nBefore = pWnd->m_vecGot.size();
        PumpFor(5);
        EXPECT_EQ(pWnd->m_vecGot.size(), nBefore) << "delivered after DestroyWindow";
        bStop = true;
        poster.join();
        EXPECT_FALSE(pWnd->IsWindow());
    }
}

TEST(MsgWndPosting, HandlerMayDestroyItsOwnWindow)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    wnd.m_fnOnMsg = [](CRecordingWnd& w, const CRecord&) { w.DestroyWindow(); };
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 0, 1));
    ASSERT_TRUE(wnd.PostWndMessage(WM_TEST, 0, 2));
    PumpFor(50);
    ASSERT_EQ(wnd.m_vecGot.size(), 1u);
    EXPECT_EQ(wnd.m_vecGot[0].m_lParam, 1);
    EXPECT_FALSE(wnd.IsWindow());
}

TEST(MsgWndPosting, HandlerMayDeleteTheWholeWindowObject)
{
    auto* pWnd = new CRecordingWnd;
    ASSERT_TRUE(pWnd->CreateWnd(nullptr, 1));
    int nCalls = 0;
    pWnd->m_fnOnMsg = [&](CRecordingWnd& w, const CRecord&) {
        ++nCalls;
        delete &w;
    };
    ASSERT_TRUE(pWnd->PostWndMessage(WM_TEST, 0, 1));
    ASSERT_TRUE(pWnd->PostWndMessage(WM_TEST, 0, 2));
    PumpFor(50);
    EXPECT_EQ(nCalls, 1);
}

TEST(MsgWndTimer, RepeatsWithItsIdUntilKilled)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    ASSERT_TRUE(wnd.SetTimer(8618, 20));
    EXPECT_TRUE(wnd.IsTimerSet(8618));
    ASSERT_TRUE(WaitUntil([&] { return wnd.CountTimer(8618) >= 3; }, 5000));
    for (const CRecord& r : wnd.m_vecGot) {
        EXPECT_EQ(r.m_nMsg, WM_TIMER);
        EXPECT_EQ(r.m_lParam, 0);
        EXPECT_EQ(r.m_thread, std::this_thread::get_id());
    }
    EXPECT_GE(wnd.m_vecGot[0].m_nAtMs, 20) << "fired before its period";
    ASSERT_TRUE(wnd.KillTimer(8618));
    EXPECT_FALSE(wnd.IsTimerSet(8618));
    const int nSeen = wnd.CountTimer(8618);
    PumpFor(80);
    EXPECT_EQ(wnd.CountTimer(8618), nSeen) << "a killed timer went on firing";
    EXPECT_FALSE(wnd.KillTimer(8618)) << "killing a timer that does not run";
}

TEST(MsgWndTimer, SettingARunningIdRestartsItFromZero)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    wnd.m_nStartMs = TestNowMs();
    ASSERT_TRUE(wnd.SetTimer(3, 120));
    PumpFor(80);
    EXPECT_EQ(wnd.CountTimer(3), 0);
    const int64_t nRestartAt = wnd.ElapsedMs();
    ASSERT_TRUE(wnd.SetTimer(3, 120));
    ASSERT_TRUE(WaitUntil([&] { return wnd.CountTimer(3) >= 1; }, 5000));
    ASSERT_EQ(wnd.CountTimer(3), 1);
    EXPECT_GE(wnd.m_vecGot[0].m_nAtMs, nRestartAt + 120) << "the first period was not restarted";
}

TEST(MsgWndTimer, IdsAreIndependentAndAHandlerCanMakeAOneShot)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    wnd.m_fnOnMsg = [](CRecordingWnd& w, const CRecord& r) {
        if (r.m_nMsg == WM_TIMER && r.m_wParam == 1)
            w.KillTimer(1);
    };
    ASSERT_TRUE(wnd.SetTimer(1, 10));
    ASSERT_TRUE(wnd.SetTimer(2, 10));
    ASSERT_TRUE(WaitUntil([&] { return wnd.CountTimer(2) >= 5; }, 5000));
    EXPECT_EQ(wnd.CountTimer(1), 1);
    EXPECT_FALSE(wnd.IsTimerSet(1));
    EXPECT_TRUE(wnd.IsTimerSet(2));
}

TEST(MsgWndTimer, DestroyingTheWindowEndsItsTimers)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    ASSERT_TRUE(wnd.SetTimer(4, 10));
    wnd.DestroyWindow();
    EXPECT_FALSE(wnd.IsTimerSet(4));
    PumpFor(60);
    EXPECT_EQ(wnd.CountTimer(4), 0);
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    EXPECT_FALSE(wnd.IsTimerSet(4)) << "a timer survived into the next window";
}

TEST(MsgWndTimer, OnlyTheWindowThreadCanSetTimers)
{
    CRecordingWnd wnd;
    ASSERT_TRUE(wnd.CreateWnd(nullptr, 1));
    bool bSet = true;
    std::thread other([&] { bSet = wnd.SetTimer(9, 10); });
    other.join();
    EXPECT_FALSE(bSet);
    PumpFor(40);
    EXPECT_EQ(wnd.CountTimer(9), 0);
}
