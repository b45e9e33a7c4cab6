// quillmark-capture as a user runs it: against the simulated dongle on a pty
// named by its device path, into a file and into tshark through a pipe,
// stopped by a signal, and failing for a missing port, a silent dongle, a
// lost line and an output that must not be overwritten or go to a terminal.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process_posix.h"
#include "common/command_output_posix.h"
#include "common/pty_posix.h"
#include "common/sim_summary.h"
#include "common/temp_dir_posix.h"

namespace {

constexpr int SIM_READY_MS = 10000;
constexpr int CAPTURE_END_MS = 20000;

typedef std::vector<std::string> Records;

struct CPcapRead {
    int m_nLinkType = -1;
    Records m_vecPayloads;
    bool m_bOrigLenPlusFcs = true;   // every record: orig_len = incl_len + 2
    bool m_bComplete = false;        // read to its end, no cut record
};

CPcapRead ReadPcap(const std::string& strPath)
{
    CPcapRead read;
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    if (pPcap == nullptr)
        return read;
    read.m_nLinkType = pcap_datalink(pPcap);
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        read.m_vecPayloads.emplace_back(reinterpret_cast<const char*>(pData), pHdr->caplen);
        read.m_bOrigLenPlusFcs = read.m_bOrigLenPlusFcs && pHdr->len == pHdr->caplen + 2;
    }
    read.m_bComplete = nRc == PCAP_ERROR_BREAK;
    pcap_close(pPcap);
    return read;
}

std::string ReadText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// What a non-blocking nFd has at once, up to nMax bytes.
std::string ReadAvailable(int nFd, size_t nMax)
{
    std::string str;
    char byBuf[4096];
    while (str.size() < nMax) {
        const ssize_t n = read(nFd, byBuf, std::min(sizeof byBuf, nMax - str.size()));
        if (n <= 0)
            break;
        str.append(byBuf, static_cast<size_t>(n));
    }
    return str;
}

bool Exists(const std::string& strPath)
{
    return access(strPath.c_str(), F_OK) == 0;
}

// The simulated dongle on a pty of its own; the capture names the pty's path.
class CSim {
public:
    // Publishes COM201 in strPortsDir (default: the test's directory).
    bool Start(const CTestTempDir& dir, const std::vector<std::string>& vecExtra, std::string strPortsDir = "")
    {
        m_strSent = dir / "sent.pcap";
        std::vector<std::string> vecArgv { QM_DONGLE_SIM_PATH, "--port", "201", "--ports-dir",
            strPortsDir.empty() ? dir.Path() : strPortsDir, "--sent-pcap", m_strSent };
        vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
        if (!m_child.Spawn(vecArgv) || !m_child.WaitForText("\n", SIM_READY_MS, false))
            return false;
        const size_t nAt = m_child.Out().find("ready ");
        if (nAt == std::string::npos)
            return false;
        m_strDevice = m_child.Out().substr(nAt + 6, m_child.Out().find('\n', nAt) - nAt - 6);
        return true;
    }
    // Ends it; its summary and its --sent-pcap are complete then.
    std::map<std::string, uint64_t> Finish()
    {
        m_child.Signal(SIGTERM, CAPTURE_END_MS);
        return ParseSimSummary(m_child.Out());
    }
    const std::string& Device() const { return m_strDevice; }
    const std::string& SentPcap() const { return m_strSent; }
    CChildProcess& Child() { return m_child; }

private:
    CChildProcess m_child;
    std::string m_strDevice;
    std::string m_strSent;
};

class CCaptureCliTest : public ::testing::Test {
protected:
    std::vector<std::string> Cli(const std::vector<std::string>& vecArgs) const
    {
        std::vector<std::string> vecArgv { QM_CAPTURE_CLI_PATH };
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        return vecArgv;
    }
    // Runs the command to its end; its exit code (-1: killed or hung).
    int RunCli(CChildProcess& cli, const std::vector<std::string>& vecArgs) const
    {
        if (!cli.Spawn(Cli(vecArgs)) || !cli.WaitExit(CAPTURE_END_MS))
            return -1;
        return cli.ExitCode();
    }

    CTestTempDir m_dir { "qm-cli" };
    CSim m_sim;
};

} // namespace

TEST_F(CCaptureCliTest, CountIntoFileIsTheFirstFramesSentAndNeverOverwritten)
{
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "400" }));
    const std::string strOut = m_dir / "cap.pcap";
    CChildProcess cli;
    ASSERT_EQ(RunCli(cli, { "--port", m_sim.Device(), "--channel", "20", "-c", "25", "-w", strOut }), 0) << cli.Err();
    EXPECT_NE(cli.Err().find("Start ZigBee sniffing OK!"), std::string::npos) << cli.Err();
    EXPECT_NE(cli.Err().find("Stop ZigBee sniffing OK!"), std::string::npos) << cli.Err();
    EXPECT_NE(cli.Err().find("25 frames"), std::string::npos) << cli.Err();

    // A second run refuses the file and leaves it as it was.
    const std::string strFirst = ReadText(strOut);
    CChildProcess again;
    EXPECT_EQ(RunCli(again, { "--port", m_sim.Device(), "-c", "3", "-w", strOut }), 4);
    EXPECT_NE(again.Err().find("exists already"), std::string::npos) << again.Err();
    EXPECT_EQ(ReadText(strOut), strFirst);

    const std::map<std::string, uint64_t> summary = m_sim.Finish();
    EXPECT_EQ(summary.at("channel"), 20u);
    EXPECT_EQ(summary.at("set_channel"), 1u);   // the refused run never opened the port
    EXPECT_EQ(summary.at("stop"), 1u);

    const CPcapRead got = ReadPcap(strOut);
    const CPcapRead sent = ReadPcap(m_sim.SentPcap());
    EXPECT_EQ(got.m_nLinkType, 195);
    EXPECT_TRUE(got.m_bComplete);
    EXPECT_TRUE(got.m_bOrigLenPlusFcs);
    ASSERT_EQ(got.m_vecPayloads.size(), 25u);
    ASSERT_GE(sent.m_vecPayloads.size(), 25u);
    EXPECT_EQ(got.m_vecPayloads, Records(sent.m_vecPayloads.begin(), sent.m_vecPayloads.begin() + 25));
}

TEST_F(CCaptureCliTest, StandardOutputPipesIntoTshark)
{
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "400" }));
    const std::string strCmd = std::string("'") + QM_CAPTURE_CLI_PATH + "' -q --port '" + m_sim.Device()
        + "' -c 12 -w - | tshark -r - -T fields -e frame.len 2>/dev/null";
    const std::vector<std::string> vecLines = SplitLines(CommandOutput(InPrivateHome(m_dir.Path(), strCmd)));
    EXPECT_EQ(vecLines.size(), 12u);
    EXPECT_EQ(m_sim.Finish().at("stop"), 1u);
}

TEST_F(CCaptureCliTest, SignalStopsTheDongleAndLeavesAValidFile)
{
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "200" }));
    for (int nSignal : { SIGINT, SIGTERM }) {
        const std::string strOut = m_dir / ("sig" + std::to_string(nSignal) + ".pcap");
        CChildProcess cli;
        ASSERT_TRUE(cli.Spawn(Cli({ "--port", m_sim.Device(), "-w", strOut })));
        ASSERT_TRUE(cli.WaitForText("Start ZigBee sniffing OK!", CAPTURE_END_MS)) << cli.Err();
        // Frames are in the file before the signal comes.
        const int64_t nEnd = TestNowMs() + CAPTURE_END_MS;
        while (ReadText(strOut).size() < 200 && TestNowMs() < nEnd)
            cli.Pump(10);
        ASSERT_TRUE(cli.Signal(nSignal, CAPTURE_END_MS));
        EXPECT_EQ(cli.ExitCode(), 0) << cli.Err();
        EXPECT_NE(cli.Err().find("Stop ZigBee sniffing OK!"), std::string::npos) << cli.Err();
        const CPcapRead got = ReadPcap(strOut);
        EXPECT_EQ(got.m_nLinkType, 195);
        EXPECT_TRUE(got.m_bComplete);
        EXPECT_GT(got.m_vecPayloads.size(), 0u);
    }
    EXPECT_EQ(m_sim.Finish().at("stop"), 2u);
}

TEST_F(CCaptureCliTest, FailuresGiveTheirExitCodesAndReasons)
{
    CChildProcess missing;
    EXPECT_EQ(RunCli(missing, { "--port", m_dir / "no-such-tty", "-w", m_dir / "a.pcap" }), 1);
    EXPECT_NE(missing.Err().find("Open UART Port FAIL!"), std::string::npos) << missing.Err();
    EXPECT_NE(missing.Err().find("No device at"), std::string::npos) << missing.Err();
    EXPECT_FALSE(Exists(m_dir / "a.pcap"));   // nothing captured: no file left in the way

    ASSERT_TRUE(m_sim.Start(m_dir, { "--no-ack" }));
    setenv("QM_ACK_TIMEOUT_MS", "100", 1);
    CChildProcess silent;
    const int nSilent = RunCli(silent, { "--port", m_sim.Device(), "-w", m_dir / "b.pcap" });
    unsetenv("QM_ACK_TIMEOUT_MS");
    EXPECT_EQ(nSilent, 3);
    EXPECT_NE(silent.Err().find("Start ZigBee sniffing FAIL!"), std::string::npos) << silent.Err();
    EXPECT_NE(silent.Err().find("did not answer the set-channel command within 100 ms"), std::string::npos)
        << silent.Err();
    EXPECT_FALSE(Exists(m_dir / "b.pcap"));
    // Said so, and no count of frames "written" to a file that is not there.
    EXPECT_NE(silent.Err().find("No file was written: the capture did not start"), std::string::npos) << silent.Err();
    EXPECT_EQ(silent.Err().find("written to"), std::string::npos) << silent.Err();
    EXPECT_EQ(m_sim.Finish().at("stop"), 1u);   // told to stop all the same

    CChildProcess usage;
    EXPECT_EQ(RunCli(usage, { "--channel", "27", "-w", m_dir / "c.pcap" }), 2);
    EXPECT_NE(usage.Err().find("--channel: '27' is not a channel 11..26"), std::string::npos) << usage.Err();
}

// Gone for good: with no wait the capture ends at once, with a wait once it
// is over; either way exit code 5 and a whole file.
TEST_F(CCaptureCliTest, DongleGoneEndsTheCaptureWithItsCode)
{
    for (const char* pszWait : { "0", "0.2" }) {
        CSim sim;
        ASSERT_TRUE(sim.Start(m_dir, { "--rate", "400", "--hangup-after", "30" }));
        const std::string strOut = m_dir / (std::string("gone-") + pszWait + ".pcap");
        CChildProcess cli;
        EXPECT_EQ(RunCli(cli, { "--port", sim.Device(), "--resume-wait", pszWait, "-w", strOut }), 5) << cli.Err();
        const char* pszEnd = *pszWait == '0' && pszWait[1] == '\0'
            ? "went away: the capture ends"
            : "did not come back within 0.2 s: the capture ends";
        EXPECT_NE(cli.Err().find(pszEnd), std::string::npos) << cli.Err();
        const CPcapRead got = ReadPcap(strOut);
        EXPECT_TRUE(got.m_bComplete);
        EXPECT_LE(got.m_vecPayloads.size(), 30u);
    }
}

// The survey's result is on standard output, one line per channel asked
// for, in that order, beginning with the channel; only the network's
// channel names a PAN.
TEST_F(CCaptureCliTest, SurveyPrintsOneLinePerChannel)
{
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "200", "--network", "15:0x1a62" }));
    CChildProcess cli;
    ASSERT_EQ(RunCli(cli, { "--port", m_sim.Device(), "--survey", "--channels", "16,14-15", "--dwell", "0.1" }), 0)
        << cli.Err();
    std::vector<std::string> vecLines;
    for (size_t nAt = 0; nAt < cli.Out().size();) {
        const size_t nEnd = cli.Out().find('\n', nAt);
        vecLines.push_back(cli.Out().substr(nAt, nEnd - nAt));
        nAt = nEnd == std::string::npos ? cli.Out().size() : nEnd + 1;
    }
    ASSERT_EQ(vecLines.size(), 3u) << cli.Out();
    EXPECT_EQ(vecLines[0].rfind("16 ", 0), 0u) << vecLines[0];
    EXPECT_EQ(vecLines[1].rfind("14 ", 0), 0u) << vecLines[1];
    EXPECT_EQ(vecLines[2].rfind("15 ", 0), 0u) << vecLines[2];
    EXPECT_NE(vecLines[2].find("PAN 0x1a62"), std::string::npos) << vecLines[2];
    EXPECT_EQ(vecLines[0].find("0x1a62"), std::string::npos) << vecLines[0];
    EXPECT_NE(cli.Err().find("Survey done: 1 sweep"), std::string::npos) << cli.Err();
    EXPECT_EQ(m_sim.Finish().at("set_channel"), 3u);
}

TEST_F(CCaptureCliTest, ChannelOptionsThatDoNotGoTogetherAreRefused)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> vecCases = {
        { { "--survey", "-w", "x.pcap" }, "--survey writes no capture" },
        { { "--hop", "11,12,11" }, "channel 11 is listed twice" },
        { { "--hop", "11-27" }, "'11-27' is not a channel from 11 to 26" },
        { { "--hop", "11-26", "--channel", "15" }, "--hop and --channel" },
        { { "--dwell", "2" }, "--dwell goes with --hop or --survey" },
        { { "--survey", "--dwell", "0.01" }, "--dwell: '0.01' is not a number of seconds from 0.1" },
        { { "--resume-wait", "-1" }, "--resume-wait: '-1'" },
        { { "--survey", "--sweeps", "0" }, "--sweeps: '0'" },
    };
    for (const auto& [vecArgs, strReason] : vecCases) {
        CChildProcess cli;
        EXPECT_EQ(RunCli(cli, vecArgs), 2) << vecArgs[0];
        EXPECT_NE(cli.Err().find(strReason), std::string::npos) << cli.Err();
    }
}

// pcap bytes never go to a terminal: without -w (or with -w -) the command
// refuses a terminal on standard output before it touches the port.
TEST_F(CCaptureCliTest, TerminalOnStandardOutputIsRefused)
{
    CTestPty pty;
    ASSERT_TRUE(pty.IsValid());
    for (const std::vector<std::string>& vecArgs : { std::vector<std::string> {},
             std::vector<std::string> { "-w", "-" } }) {
        const std::string strErr = m_dir / "err.txt";
        std::vector<std::string> vecArgv = Cli(vecArgs);
        vecArgv.insert(vecArgv.begin() + 1, { "--port", "/dev/null" });
        std::vector<char*> vecPtrs;
        for (std::string& str : vecArgv)
            vecPtrs.push_back(str.data());
        vecPtrs.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, pty.SlaveFd(), 1);
        posix_spawn_file_actions_addopen(&fa, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, vecPtrs[0], &fa, nullptr, vecPtrs.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 2) << ReadText(strErr);
        EXPECT_NE(ReadText(strErr).find("terminal"), std::string::npos) << ReadText(strErr);
    }
}

// Without --port and --channel the stored ones count, read as the dialog
// reads them: COM201 through the ports directory beside the program, a
// stored channel outside 11..26 as channel 11. A device path that a COM
// link names is that COM port.
TEST_F(CCaptureCliTest, StoredSettingsBesideTheProgramStandInForMissingOptions)
{
    const std::string strProgDir = m_dir / "prog";
    const std::string strProg = strProgDir + "/quillmark-capture";
    ASSERT_TRUE(std::filesystem::create_directories(strProgDir + "/ports"));
    std::filesystem::copy_file(QM_CAPTURE_CLI_PATH, strProg);
    std::ofstream(strProgDir + "/Quillmark.ini") << "[Config]\nComPort=201\nChannel=99\n";
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "400" }, strProgDir + "/ports"));

    CChildProcess stored;
    ASSERT_TRUE(stored.Spawn({ strProg, "-a", "duration:1", "-w", m_dir / "stored.pcap" }));
    ASSERT_TRUE(stored.WaitExit(CAPTURE_END_MS));
    EXPECT_EQ(stored.ExitCode(), 0) << stored.Err();
    EXPECT_GT(ReadPcap(m_dir / "stored.pcap").m_vecPayloads.size(), 0u);

    CChildProcess byPath;
    ASSERT_TRUE(byPath.Spawn({ strProg, "--port", m_sim.Device(), "--channel", "26", "-c", "2", "-w", "-" }));
    ASSERT_TRUE(byPath.WaitExit(CAPTURE_END_MS));
    EXPECT_EQ(byPath.ExitCode(), 0) << byPath.Err();
    EXPECT_EQ(byPath.Err().find("maps to no COM port"), std::string::npos) << byPath.Err();

    const std::map<std::string, uint64_t> summary = m_sim.Finish();
    EXPECT_EQ(summary.at("set_channel"), 2u);
    EXPECT_EQ(summary.at("channel"), 26u);
    EXPECT_NE(m_sim.Child().Err().find("set-channel 11"), std::string::npos) << m_sim.Child().Err();
}

// Standard output into a pipe whose reader reads a little, then stops reading
// while it keeps its end open: one SIGINT still stops the dongle and ends the
// command with 0, and the pipe holds whole records only.
TEST_F(CCaptureCliTest, SignalEndsACaptureIntoAPipeNobodyReads)
{
    ASSERT_TRUE(m_sim.Start(m_dir, { "--rate", "400" }));
    int hPipe[2];
    ASSERT_EQ(pipe2(hPipe, O_CLOEXEC | O_NONBLOCK), 0);
    const int nCapacity = fcntl(hPipe[0], F_SETPIPE_SZ, 4 * PIPE_BUF);
    ASSERT_GT(nCapacity, 0);
    const std::string strErr = m_dir / "stalled-err.txt";
    std::vector<std::string> vecArgv = Cli({ "--port", m_sim.Device(), "-w", "-" });
    std::vector<char*> vecPtrs;
    for (std::string& str : vecArgv)
        vecPtrs.push_back(str.data());
    vecPtrs.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, hPipe[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, vecPtrs[0], &fa, nullptr, vecPtrs.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(hPipe[1]);

    // A little is read; then the pipe fills and stays full (polled every 2 ms).
    std::string strRead;
    int nLast = -1;
    int nSame = 0;
    for (const int64_t nEnd = TestNowMs() + CAPTURE_END_MS; TestNowMs() < nEnd && nSame < 50;) {
        int nFill = 0;
        ioctl(hPipe[0], FIONREAD, &nFill);
        if (strRead.empty() && nFill >= 200)
            strRead = ReadAvailable(hPipe[0], 150);
        nSame = nFill == nLast && nFill > nCapacity / 2 ? nSame + 1 : 0;
        nLast = nFill;
        usleep(2000);
    }
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int nStatus = -1;
    for (const int64_t nEnd = TestNowMs() + CAPTURE_END_MS; TestNowMs() < nEnd;) {
        if (waitpid(pid, &nStatus, WNOHANG) == pid)
            break;
        usleep(2000);
    }
    if (waitpid(pid, nullptr, WNOHANG) == 0) {   // hung: the test fails, never waits for ever
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << ReadText(strErr);
    EXPECT_NE(ReadText(strErr).find("Stop ZigBee sniffing OK!"), std::string::npos) << ReadText(strErr);
    EXPECT_EQ(m_sim.Finish().at("stop"), 1u);

    strRead += ReadAvailable(hPipe[0], SIZE_MAX);
    close(hPipe[0]);
    std::ofstream(m_dir / "stalled.pcap", std::ios::binary) << strRead;
    const CPcapRead got = ReadPcap(m_dir / "stalled.pcap");
    EXPECT_EQ(got.m_nLinkType, 195);
    EXPECT_TRUE(got.m_bComplete);
    EXPECT_GT(got.m_vecPayloads.size(), 0u);
}
