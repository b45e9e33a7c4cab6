// The comm layer on real pseudo-terminals: manual-reset events, opening by port
// name, line settings, and the waits that the port's threads rely on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <termios.h>

#include <cerrno>
#include <fstream>

#include "serial/comm_api.h"
#include "serial_test_env.h"

namespace {

class CCommLayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_TRUE(m_pty.IsValid());
        SetPortsDirectory(m_dir.Path().c_str());
        ASSERT_TRUE(PublishComLink(m_dir.Path(), 201, m_pty.SlavePath()));
    }
    void TearDown() override { SetPortsDirectory(""); }

    COMM_HANDLE OpenConfigured()
    {
        char szDevice[256];
        const COMM_HANDLE h = CommOpen("\\\\.\\COM201", szDevice, sizeof(szDevice));
        EXPECT_NE(h, COMM_INVALID_HANDLE);
        COMM_DCB dcb = {};
        dcb.BaudRate = 1000000;
        dcb.fBinary = 1;
        dcb.ByteSize = 8;
        EXPECT_EQ(CommSetState(h, &dcb), 1);
        return h;
    }

    CTestTempDir m_dir;
    CPtyPair m_pty;
};

struct CEvent {
    COMM_EVENT m_h = CommCreateEvent();
    ~CEvent() { CommCloseEvent(m_h); }
};

} // namespace

TEST(CommEventTest, ManualResetEventStaysSetUntilReset)
{
    CEvent a;
    CEvent b;
    ASSERT_NE(a.m_h, 0);
    ASSERT_NE(b.m_h, 0);
    const COMM_EVENT ah[2] = { a.m_h, b.m_h };
    EXPECT_FALSE(CommIsEventSet(a.m_h));
    EXPECT_EQ(CommWaitEvents(ah, 2, 0), COMM_WAIT_TIMEOUT);
    CommSetEvent(b.m_h);
    CommSetEvent(b.m_h);
    EXPECT_EQ(CommWaitEvents(ah, 2, -1), 1);
    EXPECT_EQ(CommWaitEvents(ah, 2, -1), 1);   // a wait does not consume the signal
    CommSetEvent(a.m_h);
    EXPECT_EQ(CommWaitEvents(ah, 2, -1), 0);   // the lowest index wins
    CommResetEvent(a.m_h);
    CommResetEvent(b.m_h);
    EXPECT_FALSE(CommIsEventSet(b.m_h));
    EXPECT_EQ(CommWaitEvents(ah, 2, 0), COMM_WAIT_TIMEOUT);
    // Calls on no event do nothing.
    CommSetEvent(0);
    CommResetEvent(0);
    CommCloseEvent(0);
    EXPECT_FALSE(CommIsEventSet(0));
    // A wait that cannot be made fails, and says so apart from a time-out.
    EXPECT_EQ(CommWaitEvents(ah, 0, 0), COMM_FAILED);
    EXPECT_EQ(CommGetLastError(), EINVAL);
    EXPECT_EQ(CommWaitEvents(nullptr, 1, 0), COMM_FAILED);
    EXPECT_NE(COMM_WAIT_TIMEOUT, COMM_FAILED);
}

TEST(CommEventTest, SetFromAnotherThreadEndsAWaitAndTimeoutsAreKept)
{
    CEvent ev;
    const auto tmStart = std::chrono::steady_clock::now();
    EXPECT_EQ(CommWaitEvents(&ev.m_h, 1, 30), COMM_WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - tmStart, std::chrono::milliseconds(30));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CommSetEvent(ev.m_h);
    });
    EXPECT_EQ(CommWaitEvents(&ev.m_h, 1, -1), 0);
    setter.join();
}

TEST_F(CCommLayerTest, OpenResolvesTheNameAndIsExclusive)
{
    char szDevice[256];
    const COMM_HANDLE h = CommOpen("\\\\.\\Com201", szDevice, sizeof(szDevice));
    ASSERT_NE(h, COMM_INVALID_HANDLE);
    EXPECT_EQ(std::string(szDevice), m_pty.SlavePath());
    char szOther[256];
    EXPECT_EQ(CommOpen("\\\\.\\com201", szOther, sizeof(szOther)), COMM_INVALID_HANDLE);
    EXPECT_EQ(CommGetLastError(), EBUSY);
    CommClose(h);
    // The terminal outlives our descriptor: the exclusive flag must not, or
    // a normal user could not open the port again (root is exempt from it).
    const int fdProbe = open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fdProbe, 0);
    int nExcl = -1;
    ASSERT_EQ(ioctl(fdProbe, TIOCGEXCL, &nExcl), 0);
    EXPECT_EQ(nExcl, 0);
    close(fdProbe);
    const COMM_HANDLE hAgain = CommOpen("\\\\.\\com201", szOther, sizeof(szOther));
    EXPECT_NE(hAgain, COMM_INVALID_HANDLE);
    CommClose(hAgain);
}

TEST_F(CCommLayerTest, OpenReportsWhyItFailed)
{
    char szDevice[256];
    EXPECT_EQ(CommOpen("\\\\.\\Com202", szDevice, sizeof(szDevice)), COMM_INVALID_HANDLE);
    EXPECT_EQ(CommGetLastError(), ENOENT);
    EXPECT_STREQ(szDevice, "");
    EXPECT_EQ(CommOpen("\\\\.\\Com-3", szDevice, sizeof(szDevice)), COMM_INVALID_HANDLE);
    EXPECT_EQ(CommGetLastError(), ENOENT);

    const std::string strFile = m_dir.Path() + "/plain";
    std::ofstream(strFile) << "x";
    ASSERT_TRUE(PublishComLink(m_dir.Path(), 203, strFile));
    EXPECT_EQ(CommOpen("\\\\.\\Com203", szDevice, sizeof(szDevice)), COMM_INVALID_HANDLE);
    EXPECT_EQ(CommGetLastError(), ENOTTY);
    EXPECT_EQ(std::string(szDevice), strFile);

    // A device name that does not fit the caller's buffer is cut, not overrun.
    char szSmall[4];
    const COMM_HANDLE h = CommOpen("\\\\.\\Com201", szSmall, sizeof(szSmall));
    EXPECT_NE(h, COMM_INVALID_HANDLE);
    EXPECT_EQ(std::string(szSmall), m_pty.SlavePath().substr(0, 3));
    CommClose(h);
}

TEST_F(CCommLayerTest, LineSettingsReachTheDevice)
{
    const COMM_HANDLE h = OpenConfigured();
    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.SlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1000000));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B1000000));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    COMM_DCB dcb = {};
    dcb.BaudRate = 1000000;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.XonChar = 0x11;
    ASSERT_EQ(CommSetState(h, &dcb), 1);
    ASSERT_EQ(tcgetattr(m_pty.SlaveFd(), &tio), 0);
    // A pseudo-terminal keeps 8 bits without parity whatever it is told; the rest sticks.
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_iflag & IXON, 0u);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);

    dcb.BaudRate = 12345;
    EXPECT_EQ(CommSetState(h, &dcb), 0);
    EXPECT_EQ(CommGetLastError(), EINVAL);
    dcb.BaudRate = 1000000;
    dcb.ByteSize = 9;
    EXPECT_EQ(CommSetState(h, &dcb), 0);
    CommClose(h);
}

TEST_F(CCommLayerTest, PortWithoutModemLinesReportsNoneAndRefusesEscapes)
{
    const COMM_HANDLE h = OpenConfigured();
    uint32_t dwStatus = 0xFFFF;
    EXPECT_EQ(CommGetModemStatus(h, &dwStatus), 1);
    EXPECT_EQ(dwStatus, 0u);
    EXPECT_EQ(CommEscape(h, SETDTR), 0);
    EXPECT_EQ(CommEscape(h, CLRRTS), 0);
    EXPECT_EQ(CommEscape(h, RESETDEV), 0);
    EXPECT_EQ(CommGetModemStatus(COMM_INVALID_HANDLE, &dwStatus), 0);
    CommClose(h);
}

TEST_F(CCommLayerTest, EventWaitReportsDataTransmitEmptyAndStop)
{
    const COMM_HANDLE h = OpenConfigured();
    CEvent stop;
    CEvent ov;
    COMM_OVERLAPPED ovWait = { ov.m_h };
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR | EV_TXEMPTY), 1);

    const uint8_t abyIn[] = { 1, 2, 3, 4, 5 };
    ASSERT_TRUE(m_pty.WriteAll(abyIn, sizeof(abyIn)));
    uint32_t dwMask = 0;
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_DONE);
    EXPECT_EQ(dwMask, EV_RXCHAR);
    uint32_t dwErrors = 1;
    uint32_t dwQueued = 0;
    ASSERT_EQ(CommClearError(h, &dwErrors, &dwQueued), 1);
    EXPECT_EQ(dwErrors, 0u);
    EXPECT_EQ(dwQueued, sizeof(abyIn));
    uint8_t abyGot[16];
    uint32_t dwGot = 0;
    EXPECT_EQ(CommRead(h, abyGot, sizeof(abyGot), &ovWait, stop.m_h, &dwGot), COMM_DONE);
    EXPECT_EQ(std::vector<uint8_t>(abyGot, abyGot + dwGot), std::vector<uint8_t>(abyIn, abyIn + sizeof(abyIn)));

    uint32_t dwPut = 0;
    ASSERT_EQ(CommWrite(h, abyIn, 3, &ovWait, stop.m_h, &dwPut), COMM_DONE);
    EXPECT_EQ(dwPut, 3u);
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_DONE);
    EXPECT_EQ(dwMask, EV_TXEMPTY);
    EXPECT_EQ(m_pty.ReadBytes(3), std::vector<uint8_t>(abyIn, abyIn + 3));

    // Nothing pending: only the stop event ends the wait.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CommSetEvent(stop.m_h);
    });
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_STOPPED);
    stopper.join();
    // A read with nothing to read waits for the stop event too.
    EXPECT_EQ(CommRead(h, abyGot, sizeof(abyGot), &ovWait, stop.m_h, &dwGot), COMM_STOPPED);
    CommClose(h);
}

TEST_F(CCommLayerTest, NewMaskEndsAPendingWaitWithNoEvents)
{
    const COMM_HANDLE h = OpenConfigured();
    CEvent stop;
    COMM_OVERLAPPED ovWait = { 0 };
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR), 1);
    std::thread changer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CommSetMask(h, EV_RXFLAG);
    });
    uint32_t dwMask = 0xFF;
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_DONE);
    EXPECT_EQ(dwMask, 0u);
    changer.join();
    // Data does not end a wait whose mask leaves out EV_RXCHAR.
    const uint8_t by = 9;
    ASSERT_TRUE(m_pty.WriteAll(&by, 1));
    CommSetEvent(stop.m_h);
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_STOPPED);
    CommClose(h);
}

TEST_F(CCommLayerTest, TimedWaitEndsWithNoEventsUnlessSomethingCameFirst)
{
    const COMM_HANDLE h = OpenConfigured();
    CEvent stop;
    CEvent ov;
    COMM_OVERLAPPED ovWait = { ov.m_h };
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR), 1);
    uint32_t dwMask = 0xFF;
    const auto tmStart = std::chrono::steady_clock::now();
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, stop.m_h, 20000, &dwMask), COMM_DONE);
    EXPECT_GE(std::chrono::steady_clock::now() - tmStart, std::chrono::milliseconds(20));
    EXPECT_EQ(dwMask, 0u);
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, stop.m_h, 0, &dwMask), COMM_DONE);   // no time: a look only
    EXPECT_EQ(dwMask, 0u);

    // Bytes that came before the time are an event as ever, and the time left
    // does not carry over into the next wait.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint8_t by = 7;
        m_pty.WriteAll(&by, 1);
    });
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, stop.m_h, 10000000, &dwMask), COMM_DONE);
    writer.join();
    EXPECT_EQ(dwMask, EV_RXCHAR);
    uint8_t by = 0;
    uint32_t dwGot = 0;
    EXPECT_EQ(CommRead(h, &by, 1, &ovWait, stop.m_h, &dwGot), COMM_DONE);
    EXPECT_EQ(by, 7);
    CommSetEvent(stop.m_h);
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, stop.m_h, 10000000, &dwMask), COMM_STOPPED);
    CommClose(h);
}

// The event wait keeps its stop event registered between calls: a wait with
// another one must follow it, also when the first was closed and the new one
// took its place in memory and among the descriptors.
TEST_F(CCommLayerTest, EventWaitFollowsANewStopEvent)
{
    const COMM_HANDLE h = OpenConfigured();
    COMM_OVERLAPPED ovWait = { 0 };
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR), 1);
    uint32_t dwMask = 0;
    CEvent first;
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, first.m_h, 0, &dwMask), COMM_DONE);
    {
        CEvent second;
        CommSetEvent(first.m_h);   // no longer this wait's
        EXPECT_EQ(CommWaitEventFor(h, &ovWait, second.m_h, 20000, &dwMask), COMM_DONE);
        EXPECT_EQ(dwMask, 0u);
        CommSetEvent(second.m_h);
        EXPECT_EQ(CommWaitEvent(h, &ovWait, second.m_h, &dwMask), COMM_STOPPED);
    }
    for (int i = 0; i < 3; ++i) {
        CEvent next;   // likely where the last one was
        EXPECT_EQ(CommWaitEventFor(h, &ovWait, next.m_h, 0, &dwMask), COMM_DONE);
        CommSetEvent(next.m_h);
        EXPECT_EQ(CommWaitEvent(h, &ovWait, next.m_h, &dwMask), COMM_STOPPED) << "stop event " << i;
    }
    // No stop event at all: the time or the data end the wait.
    EXPECT_EQ(CommWaitEventFor(h, &ovWait, 0, 1000, &dwMask), COMM_DONE);
    EXPECT_EQ(dwMask, 0u);
    CommClose(h);
}

TEST_F(CCommLayerTest, OtherEndClosedIsReportedAsLostEveryTime)
{
    const COMM_HANDLE h = OpenConfigured();
    CEvent stop;
    COMM_OVERLAPPED ovWait = { 0 };
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR | EV_TXEMPTY), 1);
    m_pty.CloseMaster();
    uint32_t dwMask = 0;
    // Whatever order the driver reports it in, the loss shows within a few calls
    // and every later call reports it again instead of pretending success.
    int32_t nResult = COMM_DONE;
    for (int i = 0; i < 3 && nResult != COMM_LOST; ++i) {
        nResult = CommWaitEvent(h, &ovWait, stop.m_h, &dwMask);
        if (nResult == COMM_DONE && (dwMask & EV_RXCHAR) != 0) {
            uint8_t aby[64];
            uint32_t dwGot = 0;
            nResult = CommRead(h, aby, sizeof(aby), &ovWait, stop.m_h, &dwGot);
        }
    }
    EXPECT_EQ(nResult, COMM_LOST);
    EXPECT_EQ(CommWaitEvent(h, &ovWait, stop.m_h, &dwMask), COMM_LOST);
    EXPECT_EQ(dwMask, EV_ERR);
    uint8_t aby[8] = {};
    uint32_t dwCount = 0;
    EXPECT_EQ(CommRead(h, aby, sizeof(aby), &ovWait, stop.m_h, &dwCount), COMM_LOST);
    EXPECT_EQ(CommWrite(h, aby, sizeof(aby), &ovWait, stop.m_h, &dwCount), COMM_LOST);
    CommClose(h);
}

TEST_F(CCommLayerTest, WriteWaitsForRoomUntilStopped)
{
    const COMM_HANDLE h = OpenConfigured();
    CEvent stop;
    COMM_OVERLAPPED ovWrite = { 0 };
    std::vector<uint8_t> by(4096, 0x55);
    // Nobody reads the other end: the driver fills up and the write must wait.
    uint32_t dwPut = 0;
    int32_t nResult = COMM_DONE;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CommSetEvent(stop.m_h);
    });
    uint64_t qwTotal = 0;
    while ((nResult = CommWrite(h, by.data(), static_cast<uint32_t>(by.size()), &ovWrite, stop.m_h, &dwPut)) == COMM_DONE)
        qwTotal += dwPut;
    stopper.join();
    EXPECT_EQ(nResult, COMM_STOPPED);
    EXPECT_GT(qwTotal, 0u);
    EXPECT_EQ(CommPurge(h, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR), 1);
    CommClose(h);
}
