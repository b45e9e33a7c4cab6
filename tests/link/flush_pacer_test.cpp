// When records go out: the pacer's decisions on made-up times, and a long
// random run in which no batch waits past the hold and bursts share writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "link/flush_pacer.h"

namespace {

constexpr uint32_t HOLD_US = 800;
constexpr uint64_t T0 = 1000000;   // any start on the steady clock

// Drives a pacer the way the reader thread does: batches at the given times,
// a wake-up at the due time whenever the next batch would come after it.
struct CRun {
    size_t m_nWrites = 0;
    uint64_t m_qwLongestWaitUs = 0;
    std::vector<bool> m_vecAtOnce;   // per batch: went out in its own wake-up

    explicit CRun(const std::vector<uint64_t>& vecTimes, uint32_t dwHold = HOLD_US)
    {
        CFlushPacer pacer;
        pacer.SetHoldUs(dwHold);
        uint64_t qwFirstHeld = 0;
        for (size_t i = 0; i < vecTimes.size(); ++i) {
            const uint64_t qwDue = pacer.GetDueUs();
            if (qwDue != 0 && qwDue < vecTimes[i]) {
                EXPECT_FALSE(pacer.OnWake(qwDue - 1));
                EXPECT_TRUE(pacer.OnWake(qwDue));
                Wrote(qwDue, &qwFirstHeld);
            }
            const bool bNow = pacer.OnBatch(vecTimes[i]);
            m_vecAtOnce.push_back(bNow && qwFirstHeld == 0);
            if (qwFirstHeld == 0)
                qwFirstHeld = vecTimes[i];
            if (bNow)
                Wrote(vecTimes[i], &qwFirstHeld);
        }
        const uint64_t qwLastDue = pacer.GetDueUs();
        if (qwLastDue != 0) {
            EXPECT_TRUE(pacer.OnWake(qwLastDue));
            Wrote(qwLastDue, &qwFirstHeld);
        }
    }
    void Wrote(uint64_t qwAt, uint64_t* pqwFirstHeld)
    {
        ++m_nWrites;
        if (qwAt > *pqwFirstHeld)
            m_qwLongestWaitUs = std::max(m_qwLongestWaitUs, qwAt - *pqwFirstHeld);
        *pqwFirstHeld = 0;
    }
};

std::vector<uint64_t> Spaced(size_t nCount, uint64_t qwGapUs, uint64_t qwStart = T0)
{
    std::vector<uint64_t> vec;
    for (size_t i = 0; i < nCount; ++i)
        vec.push_back(qwStart + i * qwGapUs);
    return vec;
}

} // namespace

TEST(FlushPacerTest, HoldFollowsTheLatenessOfTimedWaits)
{
    EXPECT_EQ(FlushHoldFor(100), 800u);      // epoll's high-resolution timer
    EXPECT_EQ(FlushHoldFor(15625), 0u);      // a Windows clock tick: every batch at once
    EXPECT_EQ(FlushHoldFor(450), 0u);        // 100 us of hold is not worth a wake-up
    EXPECT_EQ(FlushHoldFor(0), FLUSH_HOLD_BOUND_US);
}

TEST(FlushPacerTest, WithoutAHoldOrAfterAQuietSpellABatchGoesOutAtOnce)
{
    const CRun noHold(Spaced(50, 100), 0);
    EXPECT_EQ(noHold.m_nWrites, 50u);

    CFlushPacer pacer;
    pacer.SetHoldUs(HOLD_US);
    EXPECT_TRUE(pacer.OnBatch(T0));                 // the first batch of all
    EXPECT_TRUE(pacer.OnBatch(T0 + HOLD_US));       // no write for the hold
    EXPECT_TRUE(pacer.OnBatch(T0 + 50000));
    EXPECT_EQ(pacer.GetDueUs(), 0u);
    EXPECT_FALSE(pacer.OnWake(T0 + 60000));         // nothing held: a wake-up sends nothing

    // Frames further apart than the hold are never held back.
    const CRun spaced(Spaced(200, 1000));
    EXPECT_EQ(spaced.m_nWrites, 200u);
}

TEST(FlushPacerTest, BurstSharesWritesAndTheLastHeldGoOutByTheirTime)
{
    // A burst: batches 100 us apart. The first goes at once, the rest share
    // writes, and none waits longer than the hold.
    const CRun burst(Spaced(100, 100));
    EXPECT_TRUE(burst.m_vecAtOnce.front());
    EXPECT_LE(burst.m_nWrites, 100u / 5);
    EXPECT_LE(burst.m_qwLongestWaitUs, HOLD_US);

    // A frame and its acknowledgement 200 us later, then silence: holding
    // the acknowledgement saves no write, so it goes at once too.
    CFlushPacer pacer;
    pacer.SetHoldUs(HOLD_US);
    ASSERT_TRUE(pacer.OnBatch(T0));
    EXPECT_TRUE(pacer.OnBatch(T0 + 200));

    // Held in a burst, then silence: out at the due time, not before.
    for (uint64_t t = T0 + 10000; t < T0 + 12000; t += 100)
        (void)pacer.OnBatch(t);
    const uint64_t qwDue = pacer.GetDueUs();
    ASSERT_NE(qwDue, 0u);
    EXPECT_LE(qwDue, T0 + 12000 - 100 + HOLD_US);
    EXPECT_FALSE(pacer.OnWake(qwDue - 1));
    EXPECT_TRUE(pacer.OnWake(qwDue));
    EXPECT_EQ(pacer.GetDueUs(), 0u);
}

TEST(FlushPacerTest, RandomTrafficNeverWaitsPastTheHold)
{
    std::mt19937 rng(20261208);
    std::vector<uint64_t> vecTimes;
    uint64_t t = T0;
    while (vecTimes.size() < 20000) {
        // Bursts of 1..40 batches 20..320 us apart, with spacing now and then
        // about the hold, between pauses of 0.5..50 ms.
        const size_t nBurst = 1 + rng() % 40;
        for (size_t i = 0; i < nBurst; ++i) {
            t += rng() % 8 == 0 ? 500 + rng() % 1000 : 20 + rng() % 300;
            vecTimes.push_back(t);
        }
        t += 500 + rng() % 50000;
    }
    const CRun run(vecTimes);
    EXPECT_LE(run.m_qwLongestWaitUs, HOLD_US);
    EXPECT_LT(run.m_nWrites, vecTimes.size() / 2);
    // Every batch after a quiet spell went out in its own wake-up.
    for (size_t i = 1; i < vecTimes.size(); ++i) {
        if (vecTimes[i] - vecTimes[i - 1] >= 5000) {
            EXPECT_TRUE(run.m_vecAtOnce[i]) << "batch " << i;
        }
    }
}
