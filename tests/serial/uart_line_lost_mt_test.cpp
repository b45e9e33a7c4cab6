// The dongle unplugged while the port is open (on a pseudo-terminal: the other
// end closed). The loss is reported once as EV_ERR, no thread spins, Stop and
// Exit keep working, and after re-plugging the port opens again.
#include <pthread.h>

#include <memory>

#include "uart_test_fixture.h"

namespace {

// CPU time of the port's two threads, in microseconds.
struct CThreadCpu {
    int64_t m_nReader;
    int64_t m_nWriter;
};

CThreadCpu ThreadCpu(CUartPort& port)
{
    return { ThreadCpuMicros(port.GetReaderThreadHandle()), ThreadCpuMicros(port.GetWriterThreadHandle()) };
}

// A spinning thread would burn most of the interval; an idle one next to nothing.
constexpr int IDLE_INTERVAL_MS = 300;
constexpr int64_t MAX_IDLE_CPU_US = 30000;

} // namespace

TEST_F(CUartFixture, UnpluggedDeviceIsReportedOnceAndNothingSpins)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    // Bytes that arrived before the loss stay readable.
    const std::vector<uint8_t> byBefore = PatternBytes(500, 11);
    ASSERT_TRUE(m_pty.WriteAll(byBefore));
    ASSERT_TRUE(WaitFor([&] { return port.GetRxCount() == 500; }));

    m_pty.CloseMaster();
    ASSERT_TRUE(rec.WaitForEvent(EV_ERR));
    EXPECT_TRUE(port.IsLineLost());

    // A stop command still goes into the ring; the writer finds the line gone.
    const uint8_t abyStop[] = { 0x00, 0x01, 0x04, 0x01, 0x00, 0xFB, 0x04 };
    EXPECT_EQ(port.Write(abyStop, 7), 7);
    const auto tmDrain = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.DrainTx(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - tmDrain, std::chrono::seconds(2));

    const CThreadCpu cpuStart = ThreadCpu(port);
    ASSERT_GE(cpuStart.m_nReader, 0);
    ASSERT_GE(cpuStart.m_nWriter, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_INTERVAL_MS));
    const CThreadCpu cpuEnd = ThreadCpu(port);
    EXPECT_LT(cpuEnd.m_nReader - cpuStart.m_nReader, MAX_IDLE_CPU_US);
    EXPECT_LT(cpuEnd.m_nWriter - cpuStart.m_nWriter, MAX_IDLE_CPU_US);
    EXPECT_EQ(rec.CountEvents(EV_ERR), 1u);
    EXPECT_TRUE(port.IsReaderRunning());   // waiting to be stopped, not ended unnoticed

    std::vector<uint8_t> byGot(600);
    EXPECT_EQ(port.Read(byGot.data(), 600), 500);
    byGot.resize(500);
    EXPECT_EQ(byGot, byBefore);

    // Stop and Exit: Close reports the lines once, with the reader ended, and
    // releases everything.
    rec.ClearCalls();
    port.Close();
    const std::vector<CHookCall> calls = rec.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].m_bOnOwner);
    EXPECT_EQ(calls[0].m_dwMask, 0x38u);
    EXPECT_FALSE(calls[0].m_bReaderAlive);
    ExpectReleased(port);
}

TEST_F(CUartFixture, ReopensAfterTheDeviceIsPluggedInAgain)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    m_pty.CloseMaster();
    ASSERT_TRUE(rec.WaitForEvent(EV_ERR));

    // Plugged in again: the device reappears under the same port number.
    CPtyPair replugged;
    ASSERT_TRUE(replugged.IsValid());
    ASSERT_TRUE(PublishComLink(m_dir.Path(), TEST_PORT, replugged.SlavePath()));
    // Start: SetPort (Close) and Open.
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_FALSE(port.IsLineLost());
    EXPECT_EQ(std::string(port.GetDevicePath()), replugged.SlavePath());

    const std::vector<uint8_t> byIn = PatternBytes(1000, 12);
    ASSERT_TRUE(replugged.WriteAll(byIn));
    EXPECT_EQ(DrainPort(port, byIn.size()), byIn);
    const std::vector<uint8_t> byOut = PatternBytes(100, 13);
    ASSERT_EQ(port.Write(byOut.data(), 100), 100);
    EXPECT_EQ(replugged.ReadBytes(100), byOut);
    EXPECT_TRUE(port.DrainTx(2000));
}

TEST_F(CUartFixture, UnplugWhileBothThreadsAreBusy)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    std::atomic<bool> bFlood { true };
    std::thread dongle([&] {
        const std::vector<uint8_t> by = PatternBytes(4096, 14);
        for (int i = 0; i < 20 && bFlood.load(); ++i)
            m_pty.WriteAll(by, 20);
    });
    // The writer is mid-transmission when the device goes.
    const std::vector<uint8_t> byOut(2047, 0x5A);
    port.Write(byOut.data(), 2047);
    dongle.join();
    m_pty.CloseMaster();
    ASSERT_TRUE(rec.WaitForEvent(EV_ERR));

    const CThreadCpu cpuStart = ThreadCpu(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_INTERVAL_MS));
    const CThreadCpu cpuEnd = ThreadCpu(port);
    EXPECT_LT(cpuEnd.m_nReader - cpuStart.m_nReader, MAX_IDLE_CPU_US);
    EXPECT_LT(cpuEnd.m_nWriter - cpuStart.m_nWriter, MAX_IDLE_CPU_US);
    EXPECT_EQ(rec.CountEvents(EV_ERR), 1u);
    bFlood.store(false);
    port.Close();
    ExpectReleased(port);
}

TEST_F(CUartFixture, HookMayCloseThePortWhenTheDeviceGoes)
{
    // Held by pointers: should the reader never end, both are left behind
    // (joining it would hang) and the test fails instead.
    auto pPort = std::make_unique<CUartPort>();
    auto pRec = std::make_unique<CHookRecorder>(*pPort);
    pRec->m_pfnOnEvent = [](CUartPort* pHooked, uint32_t dwMask) {
        if ((dwMask & EV_ERR) != 0 && pHooked->IsLineLost())
            pHooked->Close();
    };
    pPort->SetPort(TEST_PORT);
    ASSERT_EQ(pPort->Open(), 1);
    m_pty.CloseMaster();
    ASSERT_TRUE(pRec->WaitForEvent(EV_ERR));
    // The hook's Close reports 0x38 on the reader thread; the reader then ends
    // on its own, without waiting on the stop event the Close released.
    ASSERT_TRUE(pRec->WaitForEvent(0x38));
    if (!WaitFor([&] { return !pPort->IsReaderRunning(); }, 2000)) {
        (void)pRec.release();
        (void)pPort.release();
        FAIL() << "the reader still runs after its hook closed the port";
    }
    EXPECT_FALSE(pPort->IsOpen());
    pRec->m_pfnOnEvent = nullptr;

    // Plugged in again: Start (SetPort, Open) joins the old reader and works.
    CPtyPair replugged;
    ASSERT_TRUE(replugged.IsValid());
    ASSERT_TRUE(PublishComLink(m_dir.Path(), TEST_PORT, replugged.SlavePath()));
    pPort->SetPort(TEST_PORT);
    EXPECT_TRUE(pPort->IsReleased());
    ASSERT_EQ(pPort->Open(), 1);
    const std::vector<uint8_t> byIn = PatternBytes(200, 15);
    ASSERT_TRUE(replugged.WriteAll(byIn));
    EXPECT_EQ(DrainPort(*pPort, byIn.size()), byIn);
}
