// The serial port's life: Open and Close with their notification, failures
// that release everything, the DTR/RTS rules, and closing under load.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "uart_test_fixture.h"

namespace {

void ThrowingHook(void* pContext, CUartPort*, uint32_t dwMask)
{
    static_cast<std::atomic<uint32_t>*>(pContext)->fetch_or(dwMask);
    if ((dwMask & EV_RXCHAR) != 0)
        throw std::runtime_error("hook");
    throw 42;
}

} // namespace

TEST_F(CUartFixture, OpenConfiguresTheLineAndCloseReleasesEverything)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::None);
    EXPECT_EQ(std::string(port.GetDevicePath()), m_pty.SlavePath());
    EXPECT_FALSE(port.IsReleased());

    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.SlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1000000));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

    // Open: 0x38 on the owner's thread.
    std::vector<CHookCall> calls = rec.OwnerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].m_dwMask, 0x38u);

    ASSERT_TRUE(WaitFor([&] { return port.IsReaderRunning() && port.IsWriterRunning(); }));
    // The hook stays as it is while the threads run.
    EXPECT_FALSE(port.SetCommEventHook(nullptr, nullptr));
    rec.ClearCalls();
    port.Close();
    // Close: 0x38 once the threads have ended.
    calls = rec.OwnerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].m_dwMask, 0x38u);
    EXPECT_FALSE(calls[0].m_bReaderAlive);
    ExpectReleased(port);

    // Closing a closed port calls nothing.
    rec.ClearCalls();
    port.Close();
    EXPECT_TRUE(rec.Calls().empty());
}

TEST_F(CUartFixture, OpenOnAnOpenPortChangesNothing)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::thread::native_handle_type hReader = port.GetReaderThreadHandle();
    const std::thread::native_handle_type hWriter = port.GetWriterThreadHandle();
    const uint8_t byFirst = 0x21;
    ASSERT_TRUE(m_pty.WriteAll(&byFirst, 1));
    ASSERT_TRUE(rec.WaitForEvent(EV_RXCHAR));
    const std::thread::id idReader = rec.Calls().back().m_idThread;
    rec.ClearCalls();
    EXPECT_EQ(port.Open(), 1);
    EXPECT_TRUE(rec.OwnerCalls().empty());
    EXPECT_EQ(port.GetReaderThreadHandle(), hReader);
    EXPECT_EQ(port.GetWriterThreadHandle(), hWriter);
    EXPECT_EQ(std::string(port.GetDevicePath()), m_pty.SlavePath());
    // The same reader on the same device goes on, nothing lost in between.
    const uint8_t bySecond = 0x22;
    ASSERT_TRUE(m_pty.WriteAll(&bySecond, 1));
    ASSERT_TRUE(rec.WaitForEvent(EV_RXCHAR));
    EXPECT_EQ(rec.Calls().back().m_idThread, idReader);
    EXPECT_EQ(DrainPort(port, 2), std::vector<uint8_t>({ byFirst, bySecond }));
}

TEST_F(CUartFixture, OpenOfANumberThatMapsToNothingReleasesEverything)
{
    for (int32_t nPort : { 150, 97, 0, -1, 256 }) {
        CUartPort port;
        CHookRecorder rec(port);
        port.SetPort(nPort);
        EXPECT_EQ(port.Open(), 0) << nPort;
        EXPECT_EQ(port.GetLastOpenError().m_nCode, ENOENT) << nPort;
        EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::NotFound) << nPort;
        EXPECT_STREQ(port.GetDevicePath(), "");
        ExpectReleased(port);
        EXPECT_TRUE(rec.Calls().empty());
    }
    // A fixed-range number names its node even when nothing is there.
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(96);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(port.GetLastOpenError().m_nCode, ENOENT);
    EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::NotFound);
    EXPECT_EQ(port.GetLastOpenError().m_strText, std::strerror(ENOENT)) << "the system's own words";
    EXPECT_STREQ(port.GetDevicePath(), "/dev/ttyACM31");
    ExpectReleased(port);
    // A good open afterwards clears the reason.
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_FALSE(port.GetLastOpenError().IsError());
    EXPECT_TRUE(port.GetLastOpenError().m_strText.empty());
}

TEST_F(CUartFixture, OpenReportsBusyAndNotATerminal)
{
    CUartPort first;
    CHookRecorder recFirst(first);
    first.SetPort(TEST_PORT);
    ASSERT_EQ(first.Open(), 1);
    CUartPort second;
    CHookRecorder recSecond(second);
    second.SetPort(TEST_PORT);
    EXPECT_EQ(second.Open(), 0);
    EXPECT_EQ(second.GetLastOpenError().m_nCode, EBUSY);
    EXPECT_EQ(second.GetLastOpenError().m_eKind, EOsError::Busy);
    EXPECT_EQ(std::string(second.GetDevicePath()), m_pty.SlavePath());
    ExpectReleased(second);
    EXPECT_TRUE(recSecond.Calls().empty());
    // The first port is untouched by the failed attempt.
    const uint8_t aby[] = { 0x00, 0x01, 0x04 };
    ASSERT_TRUE(m_pty.WriteAll(aby, sizeof(aby)));
    EXPECT_EQ(DrainPort(first, 3), std::vector<uint8_t>(aby, aby + 3));
    first.Close();
    EXPECT_EQ(second.Open(), 1);
    EXPECT_EQ(second.GetLastOpenError().m_eKind, EOsError::None);

    const std::string strFile = m_dir.Path() + "/not-a-tty";
    std::ofstream(strFile) << "x";
    ASSERT_TRUE(PublishComLink(m_dir.Path(), 201, strFile));
    CUartPort third;
    CHookRecorder recThird(third);
    third.SetPort(201);
    EXPECT_EQ(third.Open(), 0);
    EXPECT_EQ(third.GetLastOpenError().m_nCode, ENOTTY);
    EXPECT_EQ(third.GetLastOpenError().m_eKind, EOsError::WrongKind);
    ExpectReleased(third);
}

TEST_F(CUartFixture, SetPortOnAnOpenPortClosesItWithItsNotification)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    rec.ClearCalls();
    port.SetPort(201);
    const std::vector<CHookCall> calls = rec.OwnerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].m_dwMask, 0x38u);
    ExpectReleased(port);
    // The new number is the one opened next.
    CPtyPair other;
    ASSERT_TRUE(other.IsValid());
    ASSERT_TRUE(PublishComLink(m_dir.Path(), 201, other.SlavePath()));
    ASSERT_EQ(port.Open(), 1);
    EXPECT_EQ(std::string(port.GetDevicePath()), other.SlavePath());
}

TEST_F(CUartFixture, DtrAndRtsFollowTheCloseAndOpenRules)
{
    {
        // A new object opened with no Close before (on COM1, the number it starts
        // with) raises both lines, and keeps them.
        ASSERT_TRUE(PublishComLink(m_dir.Path(), 1, m_pty.SlavePath()));
        CUartPort port;
        EXPECT_TRUE(port.IsDtrRaised());
        EXPECT_TRUE(port.IsRtsRaised());
        ASSERT_EQ(port.Open(), 1);
        EXPECT_EQ(std::string(port.GetDevicePath()), m_pty.SlavePath());
        EXPECT_TRUE(port.IsDtrRaised());
        EXPECT_TRUE(port.IsRtsRaised());
        port.Close();
        EXPECT_TRUE(port.IsDtrRaised());
        EXPECT_TRUE(port.IsRtsRaised());
        ASSERT_EQ(port.Open(), 1);
        EXPECT_TRUE(port.IsDtrRaised());
        EXPECT_TRUE(port.IsRtsRaised());
    }
    // SetPort before Open, as the capture controller does: both lines low, and
    // they stay low after Close and the next Open.
    CUartPort port;
    port.SetPort(TEST_PORT);
    EXPECT_FALSE(port.IsDtrRaised());
    EXPECT_FALSE(port.IsRtsRaised());
    ASSERT_EQ(port.Open(), 1);
    EXPECT_FALSE(port.IsDtrRaised());
    EXPECT_FALSE(port.IsRtsRaised());
    // A pseudo-terminal has no modem lines: the escape fails and the flag stays.
    EXPECT_EQ(port.Escape(SETDTR), 0);
    EXPECT_FALSE(port.IsDtrRaised());
    port.Close();
    EXPECT_EQ(port.Escape(SETDTR), 0);
    EXPECT_FALSE(port.IsDtrRaised());
    ASSERT_EQ(port.Open(), 1);
    EXPECT_FALSE(port.IsDtrRaised());
    EXPECT_FALSE(port.IsRtsRaised());
}

TEST_F(CUartFixture, ThrowingHookIsSwallowed)
{
    CUartPort port;
    std::atomic<uint32_t> dwSeen { 0 };
    ASSERT_TRUE(port.SetCommEventHook(ThrowingHook, &dwSeen));
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> by = PatternBytes(300);
    ASSERT_TRUE(m_pty.WriteAll(by));
    EXPECT_EQ(DrainPort(port, by.size()), by);   // the reader survives its hook throwing
    EXPECT_NE(dwSeen.load() & EV_RXCHAR, 0u);
    port.Close();
    ExpectReleased(port);
}

TEST_F(CUartFixture, CloseWhileBothThreadsAreBusyEndsThem)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    for (int nRound = 0; nRound < 5; ++nRound) {
        ASSERT_EQ(port.Open(), 1);
        std::atomic<bool> bFlood { true };
        // The dongle side floods the port and never reads: the reader is always busy
        // and the writer stalls on a full line.
        std::thread flood([&] {
            const std::vector<uint8_t> by = PatternBytes(4096, static_cast<uint32_t>(nRound));
            while (bFlood.load())
                m_pty.WriteAll(by, 20);
        });
        const std::vector<uint8_t> byOut(1024, 0xA5);
        for (int i = 0; i < 64; ++i) {
            port.Write(byOut.data(), static_cast<int32_t>(byOut.size()));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_TRUE(WaitFor([&] { return port.GetRxCount() > 0; }));
        const auto tmStart = std::chrono::steady_clock::now();
        port.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::seconds(2));
        ExpectReleased(port);
        bFlood.store(false);
        flood.join();
        tcflush(m_pty.SlaveFd(), TCIOFLUSH);
        port.DiscardRx(port.GetRxCount());
    }
}

TEST_F(CUartFixture, CloseRightAfterOpenBeforeTheThreadsRun)
{
    CUartPort port;
    CHookRecorder rec(port);
    port.SetPort(TEST_PORT);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(port.Open(), 1);
        port.Close();
        ExpectReleased(port);
    }
    EXPECT_EQ(rec.CountEvents(0x38), 100u);
}

TEST_F(CUartFixture, HookMayCloseThePortFromTheReaderThread)
{
    CUartPort port;
    CHookRecorder rec(port);
    rec.m_pfnOnEvent = [](CUartPort* pPort, uint32_t dwMask) {
        if ((dwMask & EV_RXCHAR) != 0)
            pPort->Close();
    };
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const uint8_t by = 0x11;
    ASSERT_TRUE(m_pty.WriteAll(&by, 1));
    // The hook's Close ends with the 0x38 notification on the reader thread.
    ASSERT_TRUE(WaitFor([&] {
        for (const CHookCall& call : rec.Calls()) {
            if (!call.m_bOnOwner && call.m_dwMask == 0x38)
                return true;
        }
        return false;
    }));
    rec.m_pfnOnEvent = nullptr;
    // The reader ends on its own; the owner's next Open joins it first.
    ASSERT_TRUE(WaitFor([&] { return !port.IsReaderRunning(); }));
    EXPECT_FALSE(port.IsReleased()) << "the reader is left to be joined";
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> byMore = PatternBytes(64);
    ASSERT_TRUE(m_pty.WriteAll(byMore));
    std::vector<uint8_t> byGot = DrainPort(port, 65);
    ASSERT_FALSE(byGot.empty());
    EXPECT_EQ(byGot.front(), by);
    EXPECT_EQ(std::vector<uint8_t>(byGot.begin() + 1, byGot.end()), byMore);
}
