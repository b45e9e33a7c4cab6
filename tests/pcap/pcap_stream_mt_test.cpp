// Record stamps taken from several threads at once: no stamp handed out is
// ever earlier than one already handed out, even while the clock steps back.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "pcap/pcap_stream.h"

namespace {

uint64_t Usec(CPcapTime tm)
{
    return static_cast<uint64_t>(tm.m_dwSec) * 1000000u + tm.m_dwUsec;
}

void AtomicMax(std::atomic<uint64_t>& a, uint64_t v)
{
    uint64_t cur = a.load();
    while (cur < v && !a.compare_exchange_weak(cur, v)) {
    }
}

}  // namespace

TEST(PcapClockThreads, SteppingClockNeverReordersStampsAcrossThreads)
{
    CPcapClock clock;
    std::atomic<uint64_t> qwPublished{0};
    std::atomic<int32_t> nViolations{0};
    std::atomic<int32_t> nReady{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(1000 + t);
            uint64_t qwNow = 1700000000000000ull;
            nReady.fetch_add(1);
            while (nReady.load() < 4) {
            }
            for (int i = 0; i < 200000; ++i) {
                // A clock that mostly runs forward and sometimes jumps back
                // by up to a second.
                if (rng() % 8 == 0)
                    qwNow -= rng() % 1000000u;
                else
                    qwNow += rng() % 50u;
                const uint64_t qwFloor = qwPublished.load();
                const uint64_t qwStamp = Usec(clock.Stamp(qwNow));
                if (qwStamp < qwFloor || qwStamp < qwNow)
                    nViolations.fetch_add(1);
                AtomicMax(qwPublished, qwStamp);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(nViolations.load(), 0);
    EXPECT_EQ(Usec(clock.Stamp(0)), qwPublished.load());
}

TEST(PcapClockThreads, RealClockStampsRunForwardAcrossThreads)
{
    std::atomic<uint64_t> qwPublished{0};
    std::atomic<int32_t> nBackwards{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                const uint64_t qwFloor = qwPublished.load();
                const uint64_t qw = Usec(PcapNow());
                if (qw < qwFloor)
                    nBackwards.fetch_add(1);
                AtomicMax(qwPublished, qw);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(nBackwards.load(), 0);
}
