// The record switch between the serial reader thread and the window thread:
// a target switched away is never called again, and keeps no record unflushed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/record_switch.h"

namespace {

// Counts what reaches it; any call after the test has closed it is a fault.
class CCheckedSink : public IPcapRecordSink {
public:
    void AddRecord(const uint8_t* /*pData*/, int32_t /*nLen*/, CPcapTime /*tm*/) override
    {
        if (m_bClosed.load())
            m_nLateCalls.fetch_add(1);
        ++m_nAdded;
    }
    void FlushRecords() override
    {
        if (m_bClosed.load())
            m_nLateCalls.fetch_add(1);
        m_nFlushed = m_nAdded;
    }
    // Window thread, after the switch went elsewhere; the switch's wait makes
    // the counts the capture side wrote visible here.
    void Close() { m_bClosed.store(true); }
    void Reopen() { m_bClosed.store(false); }

    std::atomic<bool> m_bClosed { false };
    std::atomic<int32_t> m_nLateCalls { 0 };
    int64_t m_nAdded = 0;     // capture side, or the window thread while closed
    int64_t m_nFlushed = 0;
};

} // namespace

TEST(RecordSwitchMt, ASwitchedAwayTargetIsNeverCalledAgainAndHoldsNothing)
{
    CCheckedSink sinkA, sinkB;
    CRecordSwitch sw(&sinkA);
    std::atomic<bool> bRun(true);
    std::atomic<uint32_t> dwCalls(0);
    std::thread capture([&] {
        const uint8_t byRecord[20] = {};
        uint32_t n = 0;
        while (bRun.load()) {
            sw.AddRecord(byRecord, sizeof byRecord, CPcapTime{1, n});
            if (++n % 3 == 0)
                sw.FlushRecords();
            dwCalls.store(n);
        }
        sw.FlushRecords();
    });
    CCheckedSink* apSinks[2] = { &sinkA, &sinkB };
    int32_t nCurrent = 0;
    int32_t nLeftBehind = 0;
    for (int32_t i = 0; i < 2000; ++i) {
        // Changes in between the capture side's calls, not all before them.
        const uint32_t dwSeen = dwCalls.load();
        while (dwCalls.load() == dwSeen)
            std::this_thread::yield();
        CCheckedSink* pOld = apSinks[nCurrent];
        nCurrent ^= 1;
        CCheckedSink* pNew = apSinks[nCurrent];
        pNew->Reopen();
        sw.SetTarget(i % 5 == 4 ? nullptr : pNew);
        pOld->Close();
        if (pOld->m_nFlushed != pOld->m_nAdded)
            ++nLeftBehind;   // records the change did not flush
        if (i % 5 == 4)
            sw.SetTarget(pNew);   // from nothing back to a target
    }
    sw.SetTarget(nullptr);
    bRun.store(false);
    capture.join();
    EXPECT_EQ(nLeftBehind, 0);
    EXPECT_EQ(sinkA.m_nLateCalls.load(), 0);
    EXPECT_EQ(sinkB.m_nLateCalls.load(), 0);
    EXPECT_GT(sinkA.m_nAdded + sinkB.m_nAdded, 2000);
    EXPECT_EQ(sw.GetTarget(), nullptr);
}
