// Records held back to share a write: the controller's reader thread wakes for
// them when their time comes, with no byte arriving, so none waits for the
// next frame or for Stop.
#include "tests/link/rf_ctrl_test_scripted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "link/frame_forwarder.h"

QM_REGISTER_WND_ENVIRONMENT();

namespace {

// A long hold, so that a held batch is told apart from one sent at once
// whatever the machine's load.
constexpr uint32_t LONG_HOLD_US = 200000;

using CClock = std::chrono::steady_clock;

// Records added and flushed, with the time of each flush.
class CFlushRecorder : public IPcapRecordSink {
public:
    void AddRecord(const uint8_t*, int32_t, CPcapTime) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        ++m_nAdded;
    }
    void FlushRecords() override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecFlushed.push_back(m_nAdded);
        m_vecAt.push_back(CClock::now());
    }
    size_t Flushed()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecFlushed.empty() ? 0 : m_vecFlushed.back();
    }
    size_t Flushes()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecFlushed.size();
    }
    CClock::time_point LastFlushAt()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecAt.back();
    }

private:
    std::mutex m_mtx;
    size_t m_nAdded = 0;
    std::vector<size_t> m_vecFlushed;   // records added before each flush
    std::vector<CClock::time_point> m_vecAt;
};

} // namespace

TEST_F(RfCtrlScripted, HeldRecordsGoOutByTheirTimeWithNoFurtherByte)
{
    CFlushRecorder sink;
    CFrameForwarder forwarder(&sink);
    forwarder.SetFlushHoldUs(LONG_HOLD_US);
    m_pCtrl->SetDataSink(&forwarder);
    ASSERT_EQ(Start(), 0);

    // After a quiet spell: at once.
    ASSERT_TRUE(m_pDongle->Send(DataFrame(40, 1)));
    ASSERT_TRUE(WaitUntil([&] { return sink.Flushed() == 1; }, WAIT_MS));

    // Frames in quick succession, each its own wake-up: once their spacing
    // shows that more are coming, they are held.
    constexpr size_t FRAMES = 8;
    const CClock::time_point tmFirst = CClock::now();
    for (size_t i = 1; i < FRAMES; ++i) {
        ASSERT_TRUE(m_pDongle->Send(DataFrame(40, static_cast<uint8_t>(i + 1))));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const CClock::time_point tmLast = CClock::now();
    ASSERT_TRUE(WaitUntil([&] { return sink.Flushed() == FRAMES; }, WAIT_MS))
        << sink.Flushed() << " of " << FRAMES << " records flushed";
    EXPECT_LT(sink.Flushes(), FRAMES) << "no record was held to share a write";
    // The last write came from the wake-up, within the hold (and a margin
    // for a loaded machine) of the first frame of the run.
    if (tmLast - tmFirst < std::chrono::milliseconds(100)) {
        EXPECT_GE(sink.LastFlushAt() - tmLast, std::chrono::milliseconds(50));
    }
    EXPECT_LE(sink.LastFlushAt() - tmFirst, std::chrono::microseconds(LONG_HOLD_US) + std::chrono::milliseconds(800));
    m_pCtrl->SetDataSink(&m_owner.m_data);
}

namespace {

// Counts how often the reader thread asks when held records are due.
class CDueAsked : public IRfDataSink {
public:
    void OnDataFrame(const uint8_t*, int32_t) override { m_nFrames.fetch_add(1); }
    void OnDataBatchEnd() override {}
    uint64_t GetDataDueUs() const override
    {
        m_nAsked.fetch_add(1);
        return 0;
    }
    int32_t FramesSeen() const { return m_nFrames.load(); }
    int32_t Asked() const { return m_nAsked.load(); }

private:
    std::atomic<int32_t> m_nFrames {0};
    mutable std::atomic<int32_t> m_nAsked {0};
};

} // namespace

// The sink may be swapped on the window thread while the dongle answers a
// command: wake-ups that bring only acknowledgements leave it alone.
TEST_F(RfCtrlScripted, AcknowledgementsAloneNeverAskTheSinkWhenRecordsAreDue)
{
    CDueAsked sink;
    m_pCtrl->SetDataSink(&sink);
    StartSniffing();
    EXPECT_EQ(sink.Asked(), 0) << "the handshake's acknowledgements asked the sink";

    ASSERT_TRUE(m_pDongle->Send(DataFrame(40, 7)));
    ASSERT_TRUE(WaitUntil([&] { return sink.FramesSeen() == 1 && sink.Asked() >= 1; }, WAIT_MS));
    m_pCtrl->SetDataSink(&m_owner.m_data);
}
