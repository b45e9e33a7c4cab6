// The byte ring on one thread: capacity rule, wrap-around, refusals, storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "serial/ring_buffer.h"

namespace {

std::vector<uint8_t> Sequence(size_t n, uint8_t byFirst = 0)
{
    std::vector<uint8_t> by(n);
    std::iota(by.begin(), by.end(), byFirst);
    return by;
}

// Moves both indices to nPos by writing and reading nPos bytes.
void AdvanceTo(CRingBuffer& ring, int32_t nPos)
{
    std::vector<uint8_t> by(static_cast<size_t>(nPos));
    ASSERT_EQ(ring.Write(by.data(), nPos), nPos);
    ASSERT_EQ(ring.Read(by.data(), nPos), nPos);
}

void* FailingRealloc(void*, size_t)
{
    return nullptr;
}

class CFailingAllocation {
public:
    CFailingAllocation() { g_pfnRingRealloc = FailingRealloc; }
    ~CFailingAllocation() { g_pfnRingRealloc = std::realloc; }
};

} // namespace

TEST(RingBufferTest, HoldsOneLessThanCapacityAndRefusesWhenFull)
{
    CRingBuffer ring(2048);
    EXPECT_EQ(ring.GetCount(), 0);
    const std::vector<uint8_t> by = Sequence(3000);
    EXPECT_EQ(ring.Write(by.data(), 3000), 2047);
    EXPECT_EQ(ring.GetCount(), 2047);
    EXPECT_EQ(ring.GetFree(), 0);
    EXPECT_EQ(ring.Write(by.data(), 1), 0);

    std::vector<uint8_t> out(3000);
    EXPECT_EQ(ring.Read(out.data(), 3000), 2047);
    out.resize(2047);
    EXPECT_EQ(out, std::vector<uint8_t>(by.begin(), by.begin() + 2047));
    EXPECT_EQ(ring.GetCount(), 0);
}

TEST(RingBufferTest, WrapsAroundTheEndOfTheStorage)
{
    CRingBuffer ring(2048);
    AdvanceTo(ring, 2000);
    EXPECT_EQ(ring.GetWritePos(), 2000);
    const std::vector<uint8_t> by = Sequence(100, 7);
    EXPECT_EQ(ring.Write(by.data(), 100), 100);
    EXPECT_EQ(ring.GetWritePos(), 52);
    EXPECT_EQ(ring.GetCount(), 100);
    EXPECT_EQ(ring.GetFree(), 2047 - 100);

    std::vector<uint8_t> out(100);
    EXPECT_EQ(ring.Read(out.data(), 100), 100);
    EXPECT_EQ(out, by);
    EXPECT_EQ(ring.GetReadPos(), 52);
    EXPECT_EQ(ring.GetCount(), 0);
}

// The receive path reads straight into the ring: a span ends at the storage's
// end or at the room's, nothing is seen before its commit, and a commit never
// stores more than the span offered.
TEST(RingBufferTest, WriteSpanStopsAtTheEndAndCommitPublishesOnlyWhatFits)
{
    CRingBuffer ring(16);
    AdvanceTo(ring, 12);
    uint8_t* pSpan = nullptr;
    ASSERT_EQ(ring.GetWriteSpan(&pSpan), 4);   // 15 free, 4 up to the end
    ASSERT_NE(pSpan, nullptr);
    const std::vector<uint8_t> by = Sequence(10, 40);
    std::copy(by.begin(), by.begin() + 4, pSpan);
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.CommitWrite(9), 4);          // more than the span: the span
    EXPECT_EQ(ring.GetWritePos(), 0);
    ASSERT_EQ(ring.GetWriteSpan(&pSpan), 11);   // from the start, up to one short of the reader
    std::copy(by.begin() + 4, by.end(), pSpan);
    EXPECT_EQ(ring.CommitWrite(6), 6);
    std::vector<uint8_t> out(16);
    ASSERT_EQ(ring.Read(out.data(), 16), 10);
    out.resize(10);
    EXPECT_EQ(out, by);

    AdvanceTo(ring, 0);
    std::vector<uint8_t> fill = Sequence(15);
    ASSERT_EQ(ring.Write(fill.data(), 15), 15);
    EXPECT_EQ(ring.GetWriteSpan(&pSpan), 0);    // full
    EXPECT_EQ(pSpan, nullptr);
    EXPECT_EQ(ring.CommitWrite(1), 0);
    EXPECT_EQ(ring.CommitWrite(-3), 0);
    EXPECT_EQ(ring.GetCount(), 15);

    CRingBuffer none(0);
    EXPECT_EQ(none.GetWriteSpan(&pSpan), 0);
    EXPECT_EQ(none.CommitWrite(1), 0);
}

// The frame reader looks at whole frames where they lie: a read span starts
// at the oldest byte, ends at the storage's end or the last stored byte, and
// taking the bytes is left to Read or Discard.
TEST(RingBufferTest, ReadSpanShowsTheOldestBytesUpToTheEndWithoutTakingThem)
{
    CRingBuffer ring(16);
    const uint8_t* pSpan = nullptr;
    EXPECT_EQ(ring.GetReadSpan(&pSpan), 0);     // empty
    EXPECT_EQ(pSpan, nullptr);
    AdvanceTo(ring, 12);
    const std::vector<uint8_t> by = Sequence(9, 60);
    ASSERT_EQ(ring.Write(by.data(), 9), 9);     // 4 to the end, 5 from the start
    ASSERT_EQ(ring.GetReadSpan(&pSpan), 4);
    EXPECT_EQ(std::vector<uint8_t>(pSpan, pSpan + 4), std::vector<uint8_t>(by.begin(), by.begin() + 4));
    EXPECT_EQ(ring.GetCount(), 9);              // nothing taken
    ASSERT_EQ(ring.Discard(3), 3);
    ASSERT_EQ(ring.GetReadSpan(&pSpan), 1);
    EXPECT_EQ(*pSpan, by[3]);
    ASSERT_EQ(ring.Discard(1), 1);
    ASSERT_EQ(ring.GetReadSpan(&pSpan), 5);     // wrapped: from the start
    EXPECT_EQ(std::vector<uint8_t>(pSpan, pSpan + 5), std::vector<uint8_t>(by.begin() + 4, by.end()));
    std::vector<uint8_t> out(5);
    ASSERT_EQ(ring.Read(out.data(), 5), 5);
    EXPECT_EQ(ring.GetReadSpan(&pSpan), 0);
    EXPECT_EQ(pSpan, nullptr);

    CRingBuffer none(0);
    EXPECT_EQ(none.GetReadSpan(&pSpan), 0);
}

TEST(RingBufferTest, OddCapacityKeepsOrderOverManyWraps)
{
    CRingBuffer ring(7);
    std::vector<uint8_t> in = Sequence(1000);
    std::vector<uint8_t> out;
    size_t nIn = 0;
    // Uneven write and read sizes so that every split position occurs.
    for (int32_t nStep = 0; out.size() < in.size(); ++nStep) {
        const int32_t nWant = std::min<int32_t>(1 + nStep % 5, static_cast<int32_t>(in.size() - nIn));
        nIn += static_cast<size_t>(ring.Write(in.data() + nIn, nWant));
        ASSERT_LE(ring.GetCount(), 6);
        uint8_t abyBuf[8];
        const int32_t nGot = ring.Read(abyBuf, 1 + nStep % 3);
        out.insert(out.end(), abyBuf, abyBuf + nGot);
    }
    EXPECT_EQ(out, in);
}

TEST(RingBufferTest, ReadReturnsOnlyWhatIsStored)
{
    CRingBuffer ring(64);
    uint8_t abyBuf[64];
    EXPECT_EQ(ring.Read(abyBuf, 10), 0);
    const std::vector<uint8_t> by = Sequence(5, 40);
    ring.Write(by.data(), 5);
    EXPECT_EQ(ring.Read(abyBuf, 64), 5);
    EXPECT_EQ(std::vector<uint8_t>(abyBuf, abyBuf + 5), by);
    EXPECT_EQ(ring.Read(abyBuf, 64), 0);
}

TEST(RingBufferTest, RefusesEmptyNegativeOrNullArgumentsWithoutMovingAnIndex)
{
    CRingBuffer ring(64);
    AdvanceTo(ring, 10);
    const std::vector<uint8_t> by = Sequence(3);
    ring.Write(by.data(), 3);
    uint8_t abyBuf[8];
    EXPECT_EQ(ring.Write(by.data(), 0), 0);
    EXPECT_EQ(ring.Write(by.data(), -5), 0);
    EXPECT_EQ(ring.Write(nullptr, 3), 0);
    EXPECT_EQ(ring.Read(abyBuf, 0), 0);
    EXPECT_EQ(ring.Read(abyBuf, -1), 0);
    EXPECT_EQ(ring.Read(nullptr, 3), 0);
    EXPECT_EQ(ring.Discard(-1), 0);
    EXPECT_EQ(ring.GetReadPos(), 10);
    EXPECT_EQ(ring.GetWritePos(), 13);
    EXPECT_EQ(ring.GetCount(), 3);
}

TEST(RingBufferTest, DiscardDropsOldestBytesOnly)
{
    CRingBuffer ring(16);
    AdvanceTo(ring, 12);
    const std::vector<uint8_t> by = Sequence(10, 1);
    ring.Write(by.data(), 10);
    EXPECT_EQ(ring.Discard(6), 6);   // crosses the end of the storage
    uint8_t abyBuf[16];
    EXPECT_EQ(ring.Read(abyBuf, 16), 4);
    EXPECT_EQ(std::vector<uint8_t>(abyBuf, abyBuf + 4), std::vector<uint8_t>(by.begin() + 6, by.end()));
    EXPECT_EQ(ring.Discard(5), 0);
}

TEST(RingBufferTest, ClearEmptiesAndRestartsAtZero)
{
    CRingBuffer ring(32);
    AdvanceTo(ring, 20);
    const std::vector<uint8_t> by = Sequence(8);
    ring.Write(by.data(), 8);
    ring.Clear();
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.GetWritePos(), 0);
    EXPECT_EQ(ring.GetReadPos(), 0);
    EXPECT_EQ(ring.Write(by.data(), 8), 8);
    EXPECT_EQ(ring.GetWritePos(), 8);
    EXPECT_EQ(ring.GetCapacity(), 32);
}

TEST(RingBufferTest, RingWithoutStorageRefusesEverything)
{
    for (int32_t nCapacity : { 0, -1, -2048 }) {
        CRingBuffer ring(nCapacity);
        EXPECT_FALSE(ring.HasStorage());
        EXPECT_EQ(ring.GetCapacity(), nCapacity);
        EXPECT_EQ(ring.GetCount(), 0);
        EXPECT_EQ(ring.GetFree(), 0);
        const uint8_t by = 1;
        uint8_t byOut = 0;
        EXPECT_EQ(ring.Write(&by, 1), 0);
        EXPECT_EQ(ring.Read(&byOut, 1), 0);
        EXPECT_EQ(ring.Discard(1), 0);
    }

    CRingBuffer ring(128);
    const std::vector<uint8_t> by = Sequence(10);
    ring.Write(by.data(), 10);
    ring.Resize(0);
    EXPECT_FALSE(ring.HasStorage());
    EXPECT_EQ(ring.GetCapacity(), 128);   // the field keeps the old capacity
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.Write(by.data(), 10), 0);
    ring.Resize(16);   // storage can be had again
    EXPECT_EQ(ring.Write(by.data(), 10), 10);
    EXPECT_EQ(ring.Write(by.data(), 10), 5);
}

TEST(RingBufferTest, FailedResizeKeepsOldStorageButEmptiesTheRing)
{
    CRingBuffer ring(64);
    const std::vector<uint8_t> by = Sequence(100);
    ring.Write(by.data(), 30);
    {
        CFailingAllocation failing;
        ring.Resize(4096);
    }
    EXPECT_TRUE(ring.HasStorage());
    EXPECT_EQ(ring.GetCapacity(), 64);
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.Write(by.data(), 100), 63);
}

TEST(RingBufferTest, ConstructionWithoutMemoryGivesARingWithoutStorage)
{
    CFailingAllocation failing;
    CRingBuffer ring(2048);
    EXPECT_FALSE(ring.HasStorage());
    EXPECT_EQ(ring.GetCount(), 0);
    const uint8_t by = 1;
    EXPECT_EQ(ring.Write(&by, 1), 0);
}

TEST(RingBufferTest, ResizeDiscardsContentsAndTakesNewCapacity)
{
    CRingBuffer ring(8);
    const std::vector<uint8_t> by = Sequence(100);
    ring.Write(by.data(), 5);
    ring.Resize(50);
    EXPECT_EQ(ring.GetCount(), 0);
    EXPECT_EQ(ring.GetCapacity(), 50);
    EXPECT_EQ(ring.Write(by.data(), 100), 49);
    std::vector<uint8_t> out(49);
    EXPECT_EQ(ring.Read(out.data(), 49), 49);
    EXPECT_EQ(out, std::vector<uint8_t>(by.begin(), by.begin() + 49));
}
