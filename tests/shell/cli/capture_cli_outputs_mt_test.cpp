// quillmark-capture given an output it must not write: a FIFO named as the
// capture file (-w, with and without --overwrite, with and without a reader)
// is refused at once with exit code 4, never opened for writing and the
// dongle never set to a channel; standard output closed is said so.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "common/child_process_posix.h"
#include "common/command_output_posix.h"
#include "common/sim_summary.h"
#include "common/temp_dir_posix.h"

namespace {

constexpr int SIM_READY_MS = 10000;
constexpr int CLI_END_MS = 10000;      // only a hang gets near it
constexpr int64_t REFUSED_MS = 3000;   // a refusal takes milliseconds; the rest is start-up on a loaded machine
constexpr int CLI_EXIT_OUTPUT = 4;

// The simulated dongle on a pty of its own, published as COM201.
class CSim {
public:
    bool Start(const CTestTempDir& dir)
    {
        if (!m_child.Spawn({ QM_DONGLE_SIM_PATH, "--port", "201", "--ports-dir", dir.Path() })
            || !m_child.WaitForText("\n", SIM_READY_MS, false))
            return false;
        const size_t nAt = m_child.Out().find("ready ");
        if (nAt == std::string::npos)
            return false;
        m_strDevice = m_child.Out().substr(nAt + 6, m_child.Out().find('\n', nAt) - nAt - 6);
        return true;
    }
    // Ends it: how many set-channel commands it was sent (-1: no summary).
    int64_t FinishSetChannels()
    {
        m_child.Signal(SIGTERM, CLI_END_MS);
        const std::map<std::string, uint64_t> summary = ParseSimSummary(m_child.Out());
        if (summary.empty())
            return -1;
        return summary.count("set_channel") != 0 ? static_cast<int64_t>(summary.at("set_channel")) : 0;
    }
    const std::string& Device() const { return m_strDevice; }

private:
    CChildProcess m_child;
    std::string m_strDevice;
};

// A FIFO's non-blocking reader that has never seen a writer polls quiet
// (Linux reports a hang-up once a writer has come and gone).
bool SawAWriter(int nReader)
{
    struct pollfd pfd = { nReader, POLLIN, 0 };
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLIN)) != 0;
}

class CCaptureCliOutputsTest : public ::testing::Test {
protected:
    CTestTempDir m_dir { "qm-cli-out" };
    CSim m_sim;
};

} // namespace

TEST_F(CCaptureCliOutputsTest, AFifoGivenAsTheFileIsRefusedAtOnceAndTheDongleIsNeverSet)
{
    ASSERT_TRUE(m_sim.Start(m_dir));
    const std::string strLonely = m_dir / "lonely.pcap";   // no reader: an open for writing would block
    const std::string strRead = m_dir / "read.pcap";       // a reader that waits for data
    ASSERT_EQ(mkfifo(strLonely.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(strRead.c_str(), 0600), 0);
    const int nReader = open(strRead.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);
    for (const std::string& strFifo : { strLonely, strRead }) {
        for (bool bOverwrite : { true, false }) {
            std::vector<std::string> vecArgv { QM_CAPTURE_CLI_PATH, "--port", m_sim.Device(), "-w", strFifo };
            if (bOverwrite)
                vecArgv.push_back("--overwrite");
            CChildProcess cli;
            const int64_t nStart = TestNowMs();
            ASSERT_TRUE(cli.Spawn(vecArgv));
            const bool bEnded = cli.WaitExit(CLI_END_MS);
            if (!bEnded)
                cli.Signal(SIGKILL);
            ASSERT_TRUE(bEnded) << strFifo << " held the command";
            EXPECT_LT(TestNowMs() - nStart, REFUSED_MS);
            EXPECT_EQ(cli.ExitCode(), CLI_EXIT_OUTPUT) << cli.Err();
            EXPECT_NE(cli.Err().find("Cannot write the capture to " + strFifo + ": not a regular file (a FIFO)"),
                std::string::npos) << cli.Err();
            EXPECT_EQ(cli.Err().find("--overwrite"), std::string::npos) << cli.Err();   // it would not help
        }
    }
    char by[64];
    EXPECT_LE(read(nReader, by, sizeof by), 0);
    EXPECT_FALSE(SawAWriter(nReader));   // not even opened and closed: its reader would see the end
    close(nReader);
    EXPECT_EQ(m_sim.FinishSetChannels(), 0);
}

TEST_F(CCaptureCliOutputsTest, ClosedStandardOutputIsSaidSo)
{
    ASSERT_TRUE(m_sim.Start(m_dir));
    // Standard error into the pipe read here, then standard output closed.
    const std::string strCmd = std::string("'") + QM_CAPTURE_CLI_PATH + "' --port '" + m_sim.Device()
        + "' -c 1 -w - 2>&1 >&-; echo \"exit $?\"";
    const std::string strOut = CommandOutput(strCmd);
    EXPECT_NE(strOut.find("Cannot write the capture to standard output: standard output is closed"),
        std::string::npos) << strOut;
    EXPECT_NE(strOut.find("exit 4"), std::string::npos) << strOut;
    EXPECT_EQ(m_sim.FinishSetChannels(), 0);
}
