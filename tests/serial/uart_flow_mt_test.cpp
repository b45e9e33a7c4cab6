// Receive flow control on a real pseudo-terminal: the reader takes no more than
// the receive ring has room for, pauses without spinning while it is full, and
// a stop still ends the pause at once; stream positions and gap marks.
#include <time.h>

#include <algorithm>

#include "uart_test_fixture.h"

namespace {

constexpr int32_t SMALL_RING = 4096;

int64_t ProcessCpuUs()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

TEST_F(CUartFixture, FloodFarLargerThanTheRingArrivesWholeWithASlowOwner)
{
    CUartPort port(SMALL_RING);   // the receive ring's size
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    // 2 MB, 500 times the ring, written as fast as the pty takes it.
    const std::vector<uint8_t> by = PatternBytes(2 * 1024 * 1024, 9);
    std::thread dongle([&] { EXPECT_TRUE(m_pty.WriteAll(by, 20000)); });
    std::vector<uint8_t> byGot;
    uint8_t abyBuf[1500];
    WaitFor([&] {
        // A slow owner: a few small reads per look, so the ring is full most of the time.
        for (int i = 0; i < 4; ++i) {
            const int32_t n = port.Read(abyBuf, sizeof(abyBuf));
            byGot.insert(byGot.end(), abyBuf, abyBuf + std::max(n, 0));
        }
        return byGot.size() >= by.size();
    }, 20000);
    dongle.join();
    EXPECT_EQ(byGot.size(), by.size());
    EXPECT_TRUE(byGot == by) << "bytes lost or reordered under flow control";
    EXPECT_EQ(port.GetRxOverflowBytes(), 0u);
    EXPECT_EQ(port.GetRxGapMark().m_qwGaps, 0u);
    EXPECT_EQ(port.GetRxStored(), by.size());
}

TEST_F(CUartFixture, FullRingPausesWithoutSpinningAndCloseEndsThePause)
{
    CUartPort port(SMALL_RING);   // the receive ring's size
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> by = PatternBytes(3 * SMALL_RING, 3);
    ASSERT_TRUE(m_pty.WriteAll(by));
    ASSERT_TRUE(WaitFor([&] { return port.GetRxCount() == SMALL_RING - 1; }));
    // Full ring, bytes waiting: the reader sleeps. A spinning reader would burn
    // most of the 300 ms.
    const int64_t nCpuStart = ProcessCpuUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuUs() - nCpuStart, 30000) << "the reader spins while the ring is full";
    EXPECT_EQ(port.GetRxCount(), SMALL_RING - 1);

    // A read wakes it at once: the ring fills again well within the recheck period.
    std::vector<uint8_t> byFirst(100);
    ASSERT_EQ(port.Read(byFirst.data(), 100), 100);
    EXPECT_TRUE(WaitFor([&] { return port.GetRxCount() == SMALL_RING - 1; }, UART_RX_ROOM_RECHECK_MS / 2));

    const auto tmStart = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::milliseconds(200));
    ExpectReleased(port);
    // The ring kept its bytes, in order, after the first 100.
    std::vector<uint8_t> byHeld(SMALL_RING);
    const int32_t nHeld = port.Read(byHeld.data(), SMALL_RING);
    ASSERT_EQ(nHeld, SMALL_RING - 1);
    EXPECT_TRUE(std::equal(byHeld.begin(), byHeld.begin() + nHeld, by.begin() + 100));
}

TEST_F(CUartFixture, GapMarkSitsWhereTheBytesWereLost)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    ASSERT_TRUE(m_pty.WriteAll(PatternBytes(300, 1)));
    ASSERT_TRUE(WaitFor([&] { return port.GetRxStored() == 300; }));
    port.Close();
    // No reader thread now: the test is the ring's producer, as the reader is.
    port.NoteRxGap(40);
    port.NoteRxGap(0);
    const CRxGapMark mark = port.GetRxGapMark();
    EXPECT_EQ(mark.m_qwGaps, 2u);
    EXPECT_EQ(mark.m_qwBytes, 40u);
    EXPECT_EQ(mark.m_qwAt, 300u);
    EXPECT_EQ(port.DiscardRx(120), 120);
    uint8_t abyBuf[50];
    EXPECT_EQ(port.Read(abyBuf, 50), 50);
    EXPECT_EQ(port.GetRxTaken(), 170u);
}
