// Bytes through the serial port on a real pseudo-terminal: both directions in
// order, long writes through the small transmit ring, a burst larger than the
// receive ring held back rather than lost, purges, the bounded drain and the
// wake-up the hook asks for.
#include <termios.h>

#include <algorithm>

#include "base/steady_us.h"
#include "uart_test_fixture.h"

namespace {

// Feeds all of by into the port's transmit ring as space frees up.
bool WriteThroughRing(CUartPort& port, const std::vector<uint8_t>& by, int nTimeoutMs = 5000)
{
    size_t nDone = 0;
    return WaitFor([&] {
        nDone += static_cast<size_t>(port.Write(by.data() + nDone, static_cast<int32_t>(by.size() - nDone)));
        return nDone == by.size();
    }, nTimeoutMs);
}

// Writes until the line and the transmit ring are full (nobody reads the other
// end); returns the number of bytes accepted.
uint64_t FillUntilStalled(CUartPort& port, uint8_t byFill)
{
    const std::vector<uint8_t> by(512, byFill);
    uint64_t qwAccepted = 0;
    for (int nIdle = 0; nIdle < 20;) {
        const int32_t n = port.Write(by.data(), static_cast<int32_t>(by.size()));
        qwAccepted += static_cast<uint64_t>(n);
        nIdle = n == 0 ? nIdle + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return qwAccepted;
}

} // namespace

TEST_F(CUartFixture, BytesFlowBothWaysInOrder)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);

    // Dongle to port: 300 KB, more than the receive ring, drained while it arrives.
    // The dongle keeps at most 64 KB in flight, so that a slow drain on a busy
    // machine cannot overflow the ring.
    const std::vector<uint8_t> byIn = PatternBytes(300000, 7);
    constexpr size_t WINDOW = 65536;
    constexpr size_t PIECE = 4096;
    std::atomic<size_t> nReceived { 0 };
    std::thread dongle([&] {
        for (size_t nSent = 0; nSent < byIn.size();) {
            if (!WaitFor([&] { return nSent - nReceived.load() + PIECE <= WINDOW; }, 10000))
                return;
            const size_t n = std::min(PIECE, byIn.size() - nSent);
            if (!m_pty.WriteAll(byIn.data() + nSent, n))
                return;
            nSent += n;
        }
    });
    std::vector<uint8_t> byGot;
    uint8_t abyBuf[8192];
    WaitFor([&] {
        int32_t n = 0;
        while ((n = port.Read(abyBuf, sizeof(abyBuf))) > 0) {
            byGot.insert(byGot.end(), abyBuf, abyBuf + n);
            nReceived.store(byGot.size());
        }
        return byGot.size() >= byIn.size();
    }, 10000);
    dongle.join();
    EXPECT_EQ(byGot.size(), byIn.size());
    EXPECT_TRUE(byGot == byIn) << "received bytes differ from those sent";
    EXPECT_EQ(port.GetRxOverflowBytes(), 0u);
    // EV_RXCHAR reached the hook from the reader thread.
    size_t nRxFromReader = 0;
    for (const CHookCall& call : rec.Calls())
        nRxFromReader += !call.m_bOnOwner && (call.m_dwMask & EV_RXCHAR) != 0;
    EXPECT_GT(nRxFromReader, 0u);

    // Port to dongle: 50 KB fed through the 2047-byte transmit ring.
    const std::vector<uint8_t> byOut = PatternBytes(50000, 8);
    std::vector<uint8_t> byLine;
    std::thread reader([&] { byLine = m_pty.ReadBytes(byOut.size(), 10000); });
    EXPECT_TRUE(WriteThroughRing(port, byOut, 10000));
    reader.join();
    EXPECT_EQ(byLine.size(), byOut.size());
    EXPECT_TRUE(byLine == byOut) << "bytes on the line differ from those written";
}

TEST_F(CUartFixture, FullTransmitRingIsSentWholeInChunks)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> by = PatternBytes(3000, 3);
    // One write stores what fits; with no further write, the rest of the ring still
    // goes out: each emptied driver queue (EV_TXEMPTY) fetches the next chunk.
    ASSERT_EQ(port.Write(by.data(), 3000), 2047);
    EXPECT_EQ(m_pty.ReadBytes(2047), std::vector<uint8_t>(by.begin(), by.begin() + 2047));
    ASSERT_EQ(port.Write(by.data() + 2047, 953), 953);
    EXPECT_EQ(m_pty.ReadBytes(953), std::vector<uint8_t>(by.begin() + 2047, by.end()));

    // 2047 bytes are at least four chunks of 512: while the ring still held bytes
    // the hook saw the emptied queue without EV_TXEMPTY, at the end with it.
    ASSERT_TRUE(rec.WaitForEvent(EV_TXEMPTY));
    size_t nStripped = 0;
    for (const CHookCall& call : rec.Calls())
        nStripped += !call.m_bOnOwner && call.m_dwMask == 0;
    EXPECT_GE(nStripped, 3u);
}

TEST_F(CUartFixture, BytesWrittenWhileClosedGoOutAfterOpen)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    const std::vector<uint8_t> by = PatternBytes(10, 4);
    EXPECT_EQ(port.Write(by.data(), 10), 10);
    EXPECT_EQ(port.GetTxCount(), 10);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_TRUE(port.DrainTx(2000));
    EXPECT_EQ(m_pty.ReadBytes(10), by);
    EXPECT_EQ(port.WriteString("abc"), 3);
    EXPECT_EQ(m_pty.ReadBytes(3), std::vector<uint8_t>({ 'a', 'b', 'c' }));
}

TEST_F(CUartFixture, ReceiveBurstLargerThanTheRingWaitsWithTheDriverUntilRead)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    constexpr size_t EXTRA = 5000;
    const size_t nHeld = static_cast<size_t>(UART_RX_RING_SIZE - 1);
    const std::vector<uint8_t> by = PatternBytes(nHeld + EXTRA, 5);
    ASSERT_TRUE(m_pty.WriteAll(by, 10000));
    // Nobody drains the ring: it fills, and the rest stays with the driver.
    ASSERT_TRUE(WaitFor([&] { return static_cast<size_t>(port.GetRxCount()) == nHeld; }, 10000))
        << "held " << port.GetRxCount();
    EXPECT_EQ(port.GetRxOverflowBytes(), 0u);
    EXPECT_EQ(port.GetRxGapMark().m_qwGaps, 0u);
    // Once the owner reads, the rest arrives, every byte in order.
    EXPECT_TRUE(DrainPort(port, by.size(), 10000) == by) << "bytes lost or reordered";
    EXPECT_EQ(port.GetRxOverflowBytes(), 0u);
    EXPECT_EQ(port.GetRxStored(), by.size());
    EXPECT_EQ(port.GetRxTaken(), by.size());
}

TEST_F(CUartFixture, PurgeRxEmptiesTheReceiveRingOnlyWhileOpen)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> byOld = PatternBytes(100, 1);
    ASSERT_TRUE(m_pty.WriteAll(byOld));
    ASSERT_TRUE(WaitFor([&] { return port.GetRxCount() == 100; }));
    port.PurgeRx(true);
    EXPECT_EQ(port.GetRxCount(), 0);
    // The reader goes on filling the ring after the purge.
    const std::vector<uint8_t> byNew = PatternBytes(100, 2);
    ASSERT_TRUE(m_pty.WriteAll(byNew));
    EXPECT_EQ(DrainPort(port, 100), byNew);

    ASSERT_TRUE(m_pty.WriteAll(byOld));
    ASSERT_TRUE(WaitFor([&] { return port.GetRxCount() == 100; }));
    port.Close();
    port.PurgeRx(false);
    port.PurgeTx(false);
    EXPECT_EQ(port.GetRxCount(), 100);
}

TEST_F(CUartFixture, PurgeRxWhileTheReaderFillsTheRingKeepsLaterBytesInOrder)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    // Bytes carry their position; after any purge, what is read is still increasing.
    std::vector<uint8_t> by(60000);
    for (size_t i = 0; i < by.size(); ++i)
        by[i] = static_cast<uint8_t>(i / 236);
    std::thread dongle([&] { EXPECT_TRUE(m_pty.WriteAll(by, 10000)); });
    uint8_t abyBuf[512];
    int nLast = -1;
    bool bOrdered = true;
    for (int i = 0; i < 200; ++i) {
        if (i % 10 == 0)
            port.PurgeRx(false);
        const int32_t n = port.Read(abyBuf, sizeof(abyBuf));
        for (int32_t k = 0; k < n; ++k) {
            bOrdered = bOrdered && abyBuf[k] >= nLast;
            nLast = abyBuf[k];
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    dongle.join();
    EXPECT_TRUE(bOrdered);
}

TEST_F(CUartFixture, PurgeTxDropsWhatWasNotYetSent)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    // The dongle does not read: the line fills up, then the transmit ring.
    const uint64_t qwAccepted = FillUntilStalled(port, 'A');
    ASSERT_EQ(port.GetTxCount(), UART_TX_RING_SIZE - 1);
    port.PurgeTx(true);
    // The writer, stalled on the full line, is cancelled and empties the ring.
    ASSERT_TRUE(WaitFor([&] { return port.GetTxCount() == 0; }, 2000));
    const uint8_t abyMark[] = { 'E', 'N', 'D' };
    ASSERT_EQ(port.Write(abyMark, 3), 3);
    // Everything up to the mark is 'A', and the ring's 2047 bytes never went out.
    std::vector<uint8_t> byLine;
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<uint8_t> by = m_pty.ReadBytes(65536, 10);
        byLine.insert(byLine.end(), by.begin(), by.end());
        return byLine.size() >= 3 && byLine[byLine.size() - 1] == 'D';
    }));
    const size_t nBefore = byLine.size() - 3;
    EXPECT_EQ(std::vector<uint8_t>(byLine.end() - 3, byLine.end()), std::vector<uint8_t>(abyMark, abyMark + 3));
    EXPECT_EQ(std::count(byLine.begin(), byLine.end() - 3, 'A'), static_cast<ptrdiff_t>(nBefore));
    EXPECT_LE(nBefore, qwAccepted - (UART_TX_RING_SIZE - 1));
    EXPECT_TRUE(port.DrainTx(2000));
}

TEST_F(CUartFixture, DrainTxWaitsForTheLineAndIsBounded)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> by = PatternBytes(2047, 9);
    ASSERT_EQ(port.Write(by.data(), 2047), 2047);
    EXPECT_TRUE(port.DrainTx(5000));
    // Drained means handed over: every byte is on the line at once.
    EXPECT_EQ(m_pty.ReadBytes(2047, 100), by);

    // Nobody reads: the drain gives up after its time-out instead of hanging.
    FillUntilStalled(port, 'x');
    const auto tmStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.DrainTx(50));
    const auto tmTook = std::chrono::steady_clock::now() - tmStart;
    EXPECT_GE(tmTook, std::chrono::milliseconds(50));
    EXPECT_LT(tmTook, std::chrono::milliseconds(1000));
    port.Close();
    EXPECT_FALSE(port.DrainTx(10));   // closed with bytes still in the ring
}

// The hook asks for a wake-up while it handles bytes: the reader wakes once
// for it with no byte coming, and a time it cleared again never comes.
TEST_F(CUartFixture, WakeUpAskedForByTheHookComesOnceWithoutData)
{
    CUartPort port;
    CHookRecorder rec(port);
    rec.m_pfnOnEvent = [](CUartPort* pPort, uint32_t dwMask) {
        uint8_t by[16];
        if ((dwMask & EV_RXCHAR) == 0 || pPort->Read(by, sizeof by) <= 0)
            return;
        // 1: wake in 20 ms; 2: ask, then think better of it.
        pPort->SetWakeAt(by[0] == 1 ? SteadyNowUs() + 20000 : 0);
        if (by[0] == 2)
            pPort->SetWakeAt(0);
    };
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const uint8_t byAsk = 1;
    const uint64_t qwAsked = SteadyNowUs();
    ASSERT_TRUE(m_pty.WriteAll(&byAsk, 1));
    ASSERT_TRUE(rec.WaitForEvent(UART_EV_WAKE_DUE));
    EXPECT_GE(SteadyNowUs() - qwAsked, 20000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(rec.CountEvents(UART_EV_WAKE_DUE), 1u);
    for (const CHookCall& call : rec.Calls()) {
        if ((call.m_dwMask & UART_EV_WAKE_DUE) != 0) {
            EXPECT_FALSE(call.m_bOnOwner);
        }
    }

    const uint8_t byCancel = 2;
    ASSERT_TRUE(m_pty.WriteAll(&byCancel, 1));
    ASSERT_TRUE(rec.WaitForEvent(EV_RXCHAR, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(rec.CountEvents(UART_EV_WAKE_DUE), 1u);
}
