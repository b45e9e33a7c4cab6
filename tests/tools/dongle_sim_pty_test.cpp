// The simulator as the host meets it: spawned, published as a port link, and
// driven over the real pseudo-terminal with the host's own command frames.
#include "dongle_sim_harness.h"

#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

namespace {

class DongleSimPty : public ::testing::Test {
protected:
    std::string PortsDir() const { return m_dir / "ports"; }
    std::string Link(int nPort = 200) const { return PortsDir() + "/com" + std::to_string(nPort); }

    // Starts the simulator and opens its line as the host does.
    void StartAndOpen(std::vector<std::string> vecArgs = {})
    {
        vecArgs.insert(vecArgs.begin(), {"--ports-dir", PortsDir()});
        m_strDevice = m_sim.StartReady(vecArgs);
        ASSERT_FALSE(m_strDevice.empty()) << m_sim.Err();
        ASSERT_TRUE(m_line.Open(Link())) << strerror(errno);
    }

    CTestTempDir m_dir;
    CSimProcess m_sim;
    CHostLine m_line;
    std::string m_strDevice;
};

TEST_F(DongleSimPty, PublishesItsTerminalAsPortLinkAndRemovesItOnTerm)
{
    StartAndOpen({"--port", "200"});
    char szTarget[256] = "";
    const ssize_t n = readlink(Link().c_str(), szTarget, sizeof szTarget - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(m_strDevice, std::string(szTarget, static_cast<size_t>(n)));
    EXPECT_EQ(0, m_strDevice.rfind("/dev/pts/", 0)) << m_strDevice;

    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    EXPECT_EQ(0, m_sim.ExitCode());
    struct stat st;
    EXPECT_NE(0, lstat(Link().c_str(), &st)) << "link left behind";
    EXPECT_NE(std::string::npos, m_sim.Out().find("summary ")) << m_sim.Out();
}

TEST_F(DongleSimPty, SigintAlsoEndsWithSummaryAndNoLink)
{
    ASSERT_FALSE(m_sim.StartReady({"--ports-dir", PortsDir(), "--port", "7"}).empty()) << m_sim.Err();
    struct stat st;
    ASSERT_EQ(0, lstat(Link(7).c_str(), &st));
    ASSERT_TRUE(m_sim.Signal(SIGINT));
    EXPECT_EQ(0, m_sim.ExitCode());
    EXPECT_NE(0, lstat(Link(7).c_str(), &st));
    EXPECT_EQ(0u, m_sim.Summary().at("commands"));
}

// Serving a Wine COM port: the simulator leads a session whose controlling
// terminal is its own pty, and still answers a host that opens the line.
TEST_F(DongleSimPty, OwnTerminalMakesThePtyTheControllingTerminal)
{
    StartAndOpen({"--port", "200", "--own-terminal"});
    std::ifstream procStat("/proc/" + std::to_string(m_sim.Pid()) + "/stat");
    std::string strStat((std::istreambuf_iterator<char>(procStat)), std::istreambuf_iterator<char>());
    // Fields after the command name: state ppid pgrp session tty_nr ...
    std::istringstream fields(strStat.substr(strStat.rfind(')') + 2));
    std::string strState;
    long nPpid = 0, nGroup = 0, nSession = 0, nTty = 0;
    fields >> strState >> nPpid >> nGroup >> nSession >> nTty;
    struct stat st;
    ASSERT_EQ(0, stat(m_strDevice.c_str(), &st));
    EXPECT_EQ(static_cast<long>(m_sim.Pid()), nSession);
    EXPECT_EQ(static_cast<long>(st.st_rdev), nTty);

    const uint8_t byStop[] = {0x00, 0x01, 0x04, 0x01, 0x00, 0xFB, 0x04};
    ASSERT_EQ(7, write(m_line.Fd(), byStop, sizeof byStop));
    ASSERT_TRUE(m_sim.WaitForText("cmd stop", 2000)) << m_sim.Err();
}

TEST_F(DongleSimPty, AcknowledgesEachCommandPromptlyAndLogsIt)
{
    StartAndOpen();
    const std::vector<std::pair<CByteVec, std::string>> vecCommands = {
        {SetChannelCommand(20), "cmd set-channel 20 (00 01 04 00 14 E8 04)"},
        {StartCommand(), "cmd start (00 01 04 01 01 FA 04)"},
        {StopCommand(), "cmd stop (00 01 04 01 00 FB 04)"},
    };
    CByteVec byAll;
    size_t nAcks = 0;
    uint64_t qwWorstMs = 0;
    for (const auto& cmd : vecCommands) {
        const uint64_t qwSent = TestNowMs();
        ASSERT_TRUE(m_line.Write(cmd.first));
        ASSERT_TRUE(ReadAcks(m_line, byAll, ++nAcks, 1000)) << cmd.second;
        qwWorstMs = std::max(qwWorstMs, TestNowMs() - qwSent);
        EXPECT_TRUE(m_sim.WaitForText(cmd.second, 1000)) << m_sim.Err();
    }
    // "A few milliseconds"; the bound leaves room for a loaded, sanitised build
    // and is still far below the host's one-second time-out.
    EXPECT_LT(qwWorstMs, 100u);

    // Every acknowledgement is a 7-byte frame whose bytes 2..5 add up to 0.
    const CFrameSplit split = SplitFrames(byAll);
    EXPECT_EQ(0u, split.m_nSkipped);
    for (const CByteVec& fr : split.m_vecFrames) {
        if (fr.size() > static_cast<size_t>(RF_ACK_MAX_LEN))
            continue;
        ASSERT_EQ(7u, fr.size());
        EXPECT_EQ(0, static_cast<uint8_t>(fr[2] + fr[3] + fr[4] + fr[5]));
    }
}

TEST_F(DongleSimPty, BadChecksumOrLastByteGetsNoAckButIsLogged)
{
    StartAndOpen();
    CByteVec byBad = SetChannelCommand(15);
    byBad[5] ^= 0x01;
    CByteVec byBadEnd = StartCommand();
    byBadEnd[6] = 0x05;
    ASSERT_TRUE(m_line.Write(byBad));
    ASSERT_TRUE(m_line.Write(byBadEnd));
    EXPECT_TRUE(m_sim.WaitForText("bad checksum, not acknowledged: 00 01 04 00 0F EC 04", 2000)) << m_sim.Err();
    EXPECT_TRUE(m_sim.WaitForText("bad last byte, not acknowledged: 00 01 04 01 01 FA 05", 2000)) << m_sim.Err();
    EXPECT_TRUE(m_line.ReadFor(150).empty()) << "a broken command was answered";

    // The line still works, and a good command right after garbage is found.
    CByteVec byNoise = {0x13, 0x00, 0x00, 0x01, 0x09, 0xFF};
    byNoise.insert(byNoise.end(), g_bySetChannelFrame11, g_bySetChannelFrame11 + RF_CMD_LEN);
    ASSERT_TRUE(m_line.Write(byNoise));
    CByteVec by;
    EXPECT_TRUE(ReadAcks(m_line, by, 1, 1000));
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    const auto summary = m_sim.Summary();
    EXPECT_EQ(1u, summary.at("commands"));
    EXPECT_EQ(2u, summary.at("bad"));
    EXPECT_EQ(1u, summary.at("acks"));
    EXPECT_EQ(0u, summary.at("start"));
}

TEST_F(DongleSimPty, StreamsWellFormedFramesOnlyBetweenStartAndStop)
{
    StartAndOpen({"--rate", "400"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(SetChannelCommand(25)));
    ASSERT_TRUE(ReadAcks(m_line, by, 1, 1000));
    EXPECT_TRUE(m_line.ReadFor(100).empty()) << "frames before the start command";

    by.clear();
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 40, 3000));
    ASSERT_TRUE(m_line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(m_line, by, 2, 1000));
    // Nothing follows the stop acknowledgement.
    const CFrameSplit split = SplitFrames(by);
    ASSERT_FALSE(split.m_vecFrames.empty());
    EXPECT_EQ(7u, split.m_vecFrames.back().size()) << "the stop ack is the last frame";
    EXPECT_TRUE(m_line.ReadFor(150).empty()) << "frames after the stop command";

    EXPECT_EQ(0u, split.m_nSkipped);
    EXPECT_EQ(0u, split.m_nRest);
    uint16_t wLastCounter = 0;
    bool bFirst = true;
    for (const CByteVec& fr : DataFrames(split)) {
        ASSERT_GE(fr.size(), 17u + 3u) << "no MAC frame shorter than an acknowledgement";
        EXPECT_EQ(fr.size(), static_cast<size_t>(fr[2]) + 3u);
        EXPECT_EQ(25, fr[3]) << "channel byte";
        const uint16_t wCounter = static_cast<uint16_t>(fr[4] | (fr[5] << 8));
        if (!bFirst) {
            EXPECT_EQ(static_cast<uint16_t>(wLastCounter + 1), wCounter);
        }
        wLastCounter = wCounter;
        bFirst = false;
        // The MAC frame: frame type 0..3, and a 2003/2006 frame version.
        const CByteVec mac = PayloadOf(fr);
        EXPECT_LE(mac.size(), 125u);
        EXPECT_LE(mac[0] & 0x07, 3);
        EXPECT_LE((mac[1] >> 4) & 0x03, 1);
        EXPECT_EQ(0x04, fr.back());
    }
}

TEST_F(DongleSimPty, SummaryCountsMatchWhatTheHostRead)
{
    StartAndOpen({"--rate", "300", "--seed", "9"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(SetChannelCommand(12)));
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 25, 3000));
    ASSERT_TRUE(m_line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(m_line, by, 3, 1000));
    const CByteVec byLate = m_line.ReadFor(100);
    by.insert(by.end(), byLate.begin(), byLate.end());
    ASSERT_TRUE(m_sim.Signal(SIGTERM));

    const CFrameSplit split = SplitFrames(by);
    const std::vector<CByteVec> vecData = DataFrames(split);
    uint64_t qwFrameBytes = 0;
    uint64_t qwPayload = 0;
    for (const CByteVec& fr : vecData) {
        qwFrameBytes += fr.size();
        qwPayload += fr.size() - 17;
    }
    const auto summary = m_sim.Summary();
    EXPECT_EQ(3u, summary.at("commands"));
    EXPECT_EQ(1u, summary.at("set_channel"));
    EXPECT_EQ(1u, summary.at("start"));
    EXPECT_EQ(1u, summary.at("stop"));
    EXPECT_EQ(3u, summary.at("acks"));
    EXPECT_EQ(vecData.size(), summary.at("frames"));
    EXPECT_EQ(qwFrameBytes, summary.at("frame_bytes"));
    EXPECT_EQ(qwPayload, summary.at("payload_bytes"));
    EXPECT_EQ(by.size(), summary.at("bytes"));
    EXPECT_EQ(12u, summary.at("channel"));
}

// Data frames that arrived after the first acknowledgement in by.
static std::vector<CByteVec> DataFramesAfterFirstAck(const CByteVec& by)
{
    std::vector<CByteVec> vec;
    bool bAckSeen = false;
    for (const CByteVec& fr : SplitFrames(by).m_vecFrames) {
        if (fr.size() <= static_cast<size_t>(RF_ACK_MAX_LEN))
            bAckSeen = true;
        else if (bAckSeen)
            vec.push_back(fr);
    }
    return vec;
}

TEST_F(DongleSimPty, ServesManyHostReopensWithoutSpinning)
{
    StartAndOpen({"--rate", "200"});
    for (int nRound = 0; nRound < 6; ++nRound) {
        SCOPED_TRACE(nRound);
        CByteVec by;
        ASSERT_TRUE(m_line.Write(SetChannelCommand(11 + nRound)));
        ASSERT_TRUE(ReadAcks(m_line, by, 1, 1000));
        ASSERT_TRUE(m_line.Write(StartCommand()));
        ASSERT_TRUE(m_line.ReadUntil(by, [](const CByteVec& b) { return DataFramesAfterFirstAck(b).size() >= 3; },
                                     2000));
        for (const CByteVec& fr : DataFramesAfterFirstAck(by))
            EXPECT_EQ(11 + nRound, fr[3]) << "channel of this capture";
        if (nRound % 2 == 0) {
            // A normal stop, then the port is closed.
            ASSERT_TRUE(m_line.Write(StopCommand()));
            ASSERT_TRUE(ReadAcks(m_line, by, 3, 1000));
        }
        // Odd rounds close while sniffing, as a window closed with its close box does.
        m_line.Close();
        ASSERT_TRUE(m_sim.WaitForText("closed the port", 1000));
        m_sim.Pump(0);
        ASSERT_TRUE(m_line.Open(Link())) << strerror(errno);
        if (nRound % 2 == 0) {
            // A new host finds nothing stale from the one before.
            EXPECT_TRUE(m_line.ReadFor(60).empty());
        } else {
            // Still sniffing: frames flow as soon as a host listens again.
            CByteVec byMore;
            EXPECT_TRUE(ReadDataFrames(m_line, byMore, 2, 2000));
        }
    }
    // Closed and idle, then open and idle: the simulator sleeps.
    ASSERT_TRUE(m_line.Write(StopCommand()));
    CByteVec by;
    ASSERT_TRUE(ReadAcks(m_line, by, 1, 1000));
    m_line.Close();
    usleep(50000);
    const double dCpuBefore = m_sim.CpuMs();
    usleep(400000);
    EXPECT_LT(m_sim.CpuMs() - dCpuBefore, 60.0) << "busy while no host has the port open";
    ASSERT_TRUE(m_line.Open(Link()));
    usleep(50000);
    const double dCpuBefore2 = m_sim.CpuMs();
    usleep(400000);
    EXPECT_LT(m_sim.CpuMs() - dCpuBefore2, 60.0) << "busy while idle";
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    EXPECT_EQ(6u, m_sim.Summary().at("set_channel"));
}

TEST_F(DongleSimPty, ExclusiveOpenOfOneHostDoesNotLockOutTheNext)
{
    StartAndOpen();
    ASSERT_EQ(0, ioctl(m_line.Fd(), TIOCEXCL));
    m_line.Close();
    ASSERT_TRUE(m_sim.WaitForText("closed the port", 1000));
    // Opened by a process without CAP_SYS_ADMIN, for whom the exclusive flag counts.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2];
        if (syscall(SYS_capget, &hdr, data) != 0)
            _exit(3);
        const unsigned nBit = 1u << (CAP_SYS_ADMIN % 32);
        data[CAP_SYS_ADMIN / 32].effective &= ~nBit;
        data[CAP_SYS_ADMIN / 32].permitted &= ~nBit;
        if (syscall(SYS_capset, &hdr, data) != 0)
            _exit(3);
        const int h = open(Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(h >= 0 ? 0 : (errno == EBUSY ? 1 : 2));
    }
    int nStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &nStatus, 0));
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus)) << "1: the port stayed exclusive after its host closed it";
}

TEST_F(DongleSimPty, SecondSimulatorOnTheSamePortIsRefused)
{
    StartAndOpen();
    CSimProcess second;
    ASSERT_TRUE(second.Start({"--ports-dir", PortsDir()}));
    ASSERT_TRUE(second.WaitExit(5000));
    EXPECT_EQ(1, second.ExitCode());
    EXPECT_NE(std::string::npos, second.Err().find("already published")) << second.Err();
    // The first one's link is untouched.
    char szTarget[256] = "";
    const ssize_t n = readlink(Link().c_str(), szTarget, sizeof szTarget - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(m_strDevice, std::string(szTarget, static_cast<size_t>(n)));
}

TEST_F(DongleSimPty, ReplacesAStaleLinkButNeverAFile)
{
    ASSERT_EQ(0, mkdir(PortsDir().c_str(), 0755));
    // Left behind by a simulator that was killed: points at someone else's terminal now.
    ASSERT_EQ(0, symlink("/dev/null", Link(5).c_str()));
    std::string strDevice = m_sim.StartReady({"--ports-dir", PortsDir(), "--port", "5"});
    ASSERT_FALSE(strDevice.empty()) << m_sim.Err();
    char szTarget[256] = "";
    const ssize_t n = readlink(Link(5).c_str(), szTarget, sizeof szTarget - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(strDevice, std::string(szTarget, static_cast<size_t>(n)));

    std::ofstream(Link(6)) << "user data\n";
    CSimProcess other;
    ASSERT_TRUE(other.Start({"--ports-dir", PortsDir(), "--port", "6"}));
    ASSERT_TRUE(other.WaitExit(5000));
    EXPECT_EQ(1, other.ExitCode());
    std::ifstream in(Link(6));
    std::string strLine;
    std::getline(in, strLine);
    EXPECT_EQ("user data", strLine);
}

TEST_F(DongleSimPty, CreatesAMissingPortsDirectory)
{
    const std::string strDeep = m_dir / "a/b/ports";
    const std::string strDevice = m_sim.StartReady({"--ports-dir", strDeep, "--port", "255"});
    ASSERT_FALSE(strDevice.empty()) << m_sim.Err();
    struct stat st;
    EXPECT_EQ(0, lstat((strDeep + "/com255").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(DongleSimCommandLine, RejectsBadOptionsWithAReason)
{
    CTestTempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> vecCases = {
        {{"--port", "0"}, "--port"},
        {{"--port", "256"}, "--port"},
        {{"--port", "12x"}, "--port"},
        {{"--rate", "0"}, "--rate"},
        {{"--rate", "-5"}, "--rate"},
        {{"--rate", "10", "--line-rate"}, "exclude"},
        {{"--ack-delay"}, "needs a value"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& c : vecCases) {
        CSimProcess sim;
        std::vector<std::string> vecArgs = {"--ports-dir", dir.Path()};
        vecArgs.insert(vecArgs.end(), c.first.begin(), c.first.end());
        ASSERT_TRUE(sim.Start(vecArgs));
        ASSERT_TRUE(sim.WaitExit(5000));
        EXPECT_EQ(2, sim.ExitCode()) << c.second;
        EXPECT_NE(std::string::npos, sim.Err().find(c.second)) << sim.Err();
        EXPECT_EQ(std::string::npos, sim.Out().find("ready")) << "published despite a bad option";
    }
    CSimProcess help;
    ASSERT_TRUE(help.Start({"--help"}));
    ASSERT_TRUE(help.WaitExit(5000));
    EXPECT_EQ(0, help.ExitCode());
    EXPECT_NE(std::string::npos, help.Out().find("--hangup-after N"));
}

}
