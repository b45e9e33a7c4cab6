// The byte ring between a producer thread and a consumer thread: every byte of
// a long stream must come out once, in order, through a small ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "serial/ring_buffer.h"

namespace {

// Byte i of the stream; a cheap function of i so that both sides can check it.
uint8_t StreamByte(uint64_t i)
{
    return static_cast<uint8_t>((i * 131) ^ (i >> 8) ^ (i >> 19));
}

struct CTransferResult {
    uint64_t m_qwMismatches = 0;
    uint64_t m_qwFirstMismatch = UINT64_MAX;
    uint64_t m_qwReceived = 0;
};

// The producer's two ways in: a copy (Write), or bytes put straight into the
// ring's free space and then committed, as the serial reader does.
enum class EProduce { Copy, Span };

// Moves qwTotal bytes through a ring of nCapacity with varying block sizes.
CTransferResult Transfer(int32_t nCapacity, uint64_t qwTotal, EProduce eProduce = EProduce::Copy)
{
    CRingBuffer ring(nCapacity);
    CTransferResult result;
    std::thread producer([&] {
        uint8_t abyBlock[300];
        uint64_t qwSent = 0;
        uint32_t dwStep = 0;
        while (qwSent < qwTotal) {
            const uint64_t qwWant = std::min<uint64_t>(1 + (dwStep++ * 37) % sizeof(abyBlock), qwTotal - qwSent);
            for (uint64_t i = 0; i < qwWant; ++i)
                abyBlock[i] = StreamByte(qwSent + i);
            int32_t nDone = 0;
            while (nDone < static_cast<int32_t>(qwWant)) {
                const int32_t nLeft = static_cast<int32_t>(qwWant) - nDone;
                int32_t n = 0;
                if (eProduce == EProduce::Copy) {
                    n = ring.Write(abyBlock + nDone, nLeft);
                } else {
                    uint8_t* pSpan = nullptr;
                    const int32_t nSpan = std::min(ring.GetWriteSpan(&pSpan), nLeft);
                    if (nSpan > 0)
                        std::copy(abyBlock + nDone, abyBlock + nDone + nSpan, pSpan);
                    n = ring.CommitWrite(nSpan);
                }
                if (n == 0)
                    std::this_thread::yield();
                nDone += n;
            }
            qwSent += qwWant;
        }
    });
    uint8_t abyBlock[257];
    uint32_t dwStep = 0;
    while (result.m_qwReceived < qwTotal) {
        const int32_t nGot = ring.Read(abyBlock, 1 + static_cast<int32_t>((dwStep++ * 53) % sizeof(abyBlock)));
        if (nGot == 0) {
            std::this_thread::yield();
            continue;
        }
        for (int32_t i = 0; i < nGot; ++i) {
            if (abyBlock[i] != StreamByte(result.m_qwReceived + static_cast<uint64_t>(i))) {
                if (result.m_qwMismatches++ == 0)
                    result.m_qwFirstMismatch = result.m_qwReceived + static_cast<uint64_t>(i);
            }
        }
        result.m_qwReceived += static_cast<uint64_t>(nGot);
    }
    producer.join();
    EXPECT_EQ(ring.GetCount(), 0);
    return result;
}

} // namespace

TEST(RingBufferMtTest, LongStreamThroughSmallRingsArrivesWholeAndInOrder)
{
    // Capacities that are not powers of two, and one as small as it gets.
    struct { int32_t m_nCapacity; uint64_t m_qwTotal; } aCases[] = {
        { 2048, 32u << 20 }, { 1021, 8u << 20 }, { 2, 256u << 10 },
    };
    for (const EProduce eProduce : { EProduce::Copy, EProduce::Span }) {
        for (const auto& c : aCases) {
            const CTransferResult result = Transfer(c.m_nCapacity, c.m_qwTotal, eProduce);
            const char* pszHow = eProduce == EProduce::Copy ? "copied in" : "through write spans";
            EXPECT_EQ(result.m_qwReceived, c.m_qwTotal) << "capacity " << c.m_nCapacity << ", " << pszHow;
            EXPECT_EQ(result.m_qwMismatches, 0u) << "capacity " << c.m_nCapacity << ", " << pszHow
                                                 << ", first wrong byte at " << result.m_qwFirstMismatch;
        }
    }
}

TEST(RingBufferMtTest, CountSeenFromAThirdThreadStaysWithinBounds)
{
    CRingBuffer ring(509);
    std::atomic<bool> bDone { false };
    std::atomic<int32_t> nBadCount { 0 };
    std::thread observer([&] {
        while (!bDone.load()) {
            const int32_t n = ring.GetCount();
            if (n < 0 || n > 508)
                nBadCount.fetch_add(1);
        }
    });
    constexpr uint64_t TOTAL = 4u << 20;
    std::thread producer([&] {
        uint8_t aby[97] = {};
        for (uint64_t qwSent = 0; qwSent < TOTAL;) {
            const int32_t n = ring.Write(aby, static_cast<int32_t>(std::min<uint64_t>(sizeof(aby), TOTAL - qwSent)));
            qwSent += static_cast<uint64_t>(n);
            if (n == 0)
                std::this_thread::yield();
        }
    });
    uint8_t aby[61];
    uint64_t qwRead = 0;
    std::thread consumer([&] {
        while (qwRead < TOTAL) {
            const int32_t n = ring.Read(aby, sizeof(aby));
            qwRead += static_cast<uint64_t>(n);
            if (n == 0)
                std::this_thread::yield();
        }
    });
    producer.join();
    consumer.join();
    bDone.store(true);
    observer.join();
    EXPECT_EQ(nBadCount.load(), 0);
    EXPECT_EQ(qwRead, TOTAL);
    EXPECT_EQ(ring.GetCount(), 0);
}
