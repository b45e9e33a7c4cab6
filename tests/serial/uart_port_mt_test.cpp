// The serial port's life: Open and Close with their notifications, failures
// that release everything, the DTR/RTS rules, and closing under load.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "uart_test_fixture.h"

namespace {

void ThrowingHook(CUartPort*, uint32_t)
{
    throw 42;
}

void ThrowingPortHook(CUartPort*)
{
    throw std::runtime_error("hook");
}

} // namespace

TEST_F(CUartFixture, OpenConfiguresTheLineAndCloseReleasesEverything)
{
    CRecordingPort port;
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::None);
    EXPECT_EQ(std::string(port.GetDevicePath()), m_pty.SlavePath());
    EXPECT_TRUE(port.m_hReaderThread.joinable());
    EXPECT_TRUE(port.m_hWriterThread.joinable());

    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.SlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1000000));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

    // Open: 0x38 then the opened hook, both on the owner's thread.
    std::vector<CHookCall> calls = port.OwnerCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].m_cHook, 'E');
    EXPECT_EQ(calls[0].m_dwMask, 0x38u);
    EXPECT_EQ(calls[1].m_cHook, 'O');

    ASSERT_TRUE(WaitFor([&] { return port.m_bReaderAlive.load() && port.m_bWriterAlive.load(); }));
    port.ClearCalls();
    port.Close();
    // Close: the closing hook while the threads still run, 0x38 last.
    calls = port.OwnerCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].m_cHook, 'C');
    EXPECT_TRUE(calls[0].m_bReaderAlive);
    EXPECT_EQ(calls[1].m_cHook, 'E');
    EXPECT_EQ(calls[1].m_dwMask, 0x38u);
    EXPECT_FALSE(calls[1].m_bReaderAlive);
    ExpectReleased(port);
    EXPECT_EQ(port.m_dwModemStatus.load(), 0u);

    // Closing a closed port calls nothing.
    port.ClearCalls();
    port.Close();
    EXPECT_TRUE(port.Calls().empty());
}

TEST_F(CUartFixture, OpenOnAnOpenPortChangesNothing)
{
    CRecordingPort port;
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const COMM_HANDLE hComm = port.m_hComm;
    const std::thread::id idReader = port.m_hReaderThread.get_id();
    port.ClearCalls();
    EXPECT_EQ(port.Open(), 1);
    EXPECT_EQ(port.m_hComm, hComm);
    EXPECT_EQ(port.m_hReaderThread.get_id(), idReader);
    EXPECT_TRUE(port.OwnerCalls().empty());
}

TEST_F(CUartFixture, OpenOfANumberThatMapsToNothingReleasesEverything)
{
    for (int32_t nPort : { 150, 97, 0, -1, 256 }) {
        CRecordingPort port;
        port.SetPort(nPort);
        EXPECT_EQ(port.Open(), 0) << nPort;
        EXPECT_EQ(port.GetLastOpenError().m_nCode, ENOENT) << nPort;
        EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::NotFound) << nPort;
        EXPECT_STREQ(port.GetDevicePath(), "");
        ExpectReleased(port);
        EXPECT_TRUE(port.Calls().empty());
    }
    // A fixed-range number names its node even when nothing is there.
    CRecordingPort port;
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
    CRecordingPort first;
    first.SetPort(TEST_PORT);
    ASSERT_EQ(first.Open(), 1);
    CRecordingPort second;
    second.SetPort(TEST_PORT);
    EXPECT_EQ(second.Open(), 0);
    EXPECT_EQ(second.GetLastOpenError().m_nCode, EBUSY);
    EXPECT_EQ(second.GetLastOpenError().m_eKind, EOsError::Busy);
    EXPECT_EQ(std::string(second.GetDevicePath()), m_pty.SlavePath());
    ExpectReleased(second);
    EXPECT_TRUE(second.Calls().empty());
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
    CRecordingPort third;
    third.SetPort(201);
    EXPECT_EQ(third.Open(), 0);
    EXPECT_EQ(third.GetLastOpenError().m_nCode, ENOTTY);
    EXPECT_EQ(third.GetLastOpenError().m_eKind, EOsError::WrongKind);
    ExpectReleased(third);
}

TEST_F(CUartFixture, SetPortOnAnOpenPortClosesItWithBothNotifications)
{
    CRecordingPort port;
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    port.ClearCalls();
    port.SetPort(201);
    EXPECT_EQ(port.m_nPort, 201);
    const std::vector<CHookCall> calls = port.OwnerCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].m_cHook, 'C');
    EXPECT_EQ(calls[1].m_cHook, 'E');
    EXPECT_EQ(calls[1].m_dwMask, 0x38u);
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
        // A new object opened with no Close before raises both lines, and keeps them.
        CUartPort port;
        port.m_nPort = TEST_PORT;
        ASSERT_EQ(port.Open(), 1);
        EXPECT_EQ(port.m_dcb.fDtrControl, DTR_CONTROL_ENABLE);
        EXPECT_EQ(port.m_dcb.fRtsControl, RTS_CONTROL_ENABLE);
        port.Close();
        EXPECT_TRUE(port.m_bDtr);
        EXPECT_TRUE(port.m_bRts);
        ASSERT_EQ(port.Open(), 1);
        EXPECT_EQ(port.m_dcb.fDtrControl, DTR_CONTROL_ENABLE);
    }
    // SetPort before Open, as the capture controller does: both lines low.
    CUartPort port;
    port.SetPort(TEST_PORT);
    EXPECT_FALSE(port.m_bDtr);
    EXPECT_FALSE(port.m_bRts);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_EQ(port.m_dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(port.m_dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(port.m_dcb.fBinary, 1u);
    EXPECT_EQ(port.m_dcb.fOutxCtsFlow | port.m_dcb.fOutX | port.m_dcb.fInX, 0u);
    // A pseudo-terminal has no modem lines: the escape fails and the flag stays.
    EXPECT_EQ(port.Escape(SETDTR), 0);
    EXPECT_FALSE(port.m_bDtr);
    port.Close();
    EXPECT_EQ(port.Escape(SETDTR), 0);
}

TEST_F(CUartFixture, ThrowingHooksAreSwallowed)
{
    CUartPort port;
    port.m_pfnCommEvent = ThrowingHook;
    port.m_pfnOpened = ThrowingPortHook;
    port.m_pfnClosing = ThrowingPortHook;
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> by = PatternBytes(300);
    ASSERT_TRUE(m_pty.WriteAll(by));
    EXPECT_EQ(DrainPort(port, by.size()), by);   // the reader survives its hook throwing
    port.Close();
    ExpectReleased(port);
}

TEST_F(CUartFixture, CloseWhileBothThreadsAreBusyEndsThem)
{
    CRecordingPort port;
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
        ASSERT_TRUE(WaitFor([&] { return port.m_pRxBuffer->GetCount() > 0; }));
        const auto tmStart = std::chrono::steady_clock::now();
        port.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::seconds(2));
        ExpectReleased(port);
        bFlood.store(false);
        flood.join();
        tcflush(m_pty.SlaveFd(), TCIOFLUSH);
        port.m_pRxBuffer->Clear();
        port.m_pTxBuffer->Clear();
    }
}

TEST_F(CUartFixture, CloseRightAfterOpenBeforeTheThreadsRun)
{
    CRecordingPort port;
    port.SetPort(TEST_PORT);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(port.Open(), 1);
        port.Close();
        ExpectReleased(port);
    }
    EXPECT_EQ(port.CountEvents(0x38), 100u);
}

TEST_F(CUartFixture, HookMayCloseThePortFromTheReaderThread)
{
    CRecordingPort port;
    port.m_pfnOnEvent = [](CRecordingPort* pPort, uint32_t dwMask) {
        if ((dwMask & EV_RXCHAR) != 0)
            pPort->Close();
    };
    port.SetPort(TEST_PORT);
    ASSERT_EQ(port.Open(), 1);
    const uint8_t by = 0x11;
    ASSERT_TRUE(m_pty.WriteAll(&by, 1));
    // The hook's Close ends with the 0x38 notification on the reader thread.
    ASSERT_TRUE(WaitFor([&] {
        for (const CHookCall& call : port.Calls()) {
            if (!call.m_bOnOwner && call.m_dwMask == 0x38)
                return true;
        }
        return false;
    }));
    port.m_pfnOnEvent = nullptr;
    // The owner can open again: the old reader is joined first.
    ASSERT_EQ(port.Open(), 1);
    const std::vector<uint8_t> byMore = PatternBytes(64);
    ASSERT_TRUE(m_pty.WriteAll(byMore));
    std::vector<uint8_t> byGot = DrainPort(port, 65);
    ASSERT_FALSE(byGot.empty());
    EXPECT_EQ(byGot.front(), by);
    EXPECT_EQ(std::vector<uint8_t>(byGot.begin() + 1, byGot.end()), byMore);
}
