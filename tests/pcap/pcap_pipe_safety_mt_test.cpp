// What sits at the pipe's paths must be ours: links, files, directories of
// others or open to others are refused, never followed, never written through.
#include "pcap_pipe_fixture.h"

class CPipeSafetyTest : public CPipeTest {
protected:
    void SetUp() override
    {
        CPipeTest::SetUp();
        m_strPipeDir = m_strRun + "/quillmark";
    }

    // Open must fail at creation: one "Pipe open error!" line, no launch.
    void ExpectCreationRefused(CPcapPipe& pipe)
    {
        CStdoutCapture out(Path("stdout.txt"));
        EXPECT_EQ(pipe.Open(FakeLauncher("ws.sh", "--info '" + Path("launched.txt") + "'").c_str()), 0);
        EXPECT_EQ(out.Stop(), "Pipe open error!\r\n");
        EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_CREATE);
        EXPECT_NE(pipe.GetLastPipeError().m_eKind, EOsError::None);
        EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    }

    std::string m_strPipeDir;
};

TEST_F(CPipeSafetyTest, LinkOrForeignEntryAtTheFifoPathIsRefusedAndLeftAlone)
{
    ASSERT_EQ(mkdir(m_strPipeDir.c_str(), 0700), 0);
    const std::string strBait = Path("bait");
    WriteFileText(strBait, "keep me", 0600);
    CPcapPipe pipe;
    pipe.SetTimeouts(300, 300);

    // A link to a file we could write: never followed.
    ASSERT_EQ(symlink(strBait.c_str(), m_strFifo.c_str()), 0);
    ExpectCreationRefused(pipe);
    EXPECT_EQ(pipe.GetLastPipeError().m_nCode, EEXIST);
    EXPECT_EQ(pipe.GetLastPipeError().m_eKind, EOsError::WrongKind);
    EXPECT_EQ(ReadFileText(strBait), "keep me");
    char szTarget[512] = {};
    ASSERT_GT(readlink(m_strFifo.c_str(), szTarget, sizeof szTarget - 1), 0);
    EXPECT_EQ(std::string(szTarget), strBait);   // not removed either

    // A dangling link, where mkfifo would otherwise create the target.
    ASSERT_EQ(unlink(m_strFifo.c_str()), 0);
    ASSERT_EQ(symlink(Path("made-through-link").c_str(), m_strFifo.c_str()), 0);
    ExpectCreationRefused(pipe);
    EXPECT_FALSE(PathExists(Path("made-through-link")));

    // A plain file and a directory.
    ASSERT_EQ(unlink(m_strFifo.c_str()), 0);
    WriteFileText(m_strFifo, "a file", 0600);
    ExpectCreationRefused(pipe);
    EXPECT_EQ(ReadFileText(m_strFifo), "a file");
    ASSERT_EQ(unlink(m_strFifo.c_str()), 0);
    ASSERT_EQ(mkdir(m_strFifo.c_str(), 0700), 0);
    ExpectCreationRefused(pipe);
    ASSERT_EQ(rmdir(m_strFifo.c_str()), 0);

    // With the way clear the same object works.
    pipe.SetTimeouts(10000, 10000);
    CPipeEventLog events;
    pipe.SetEvents(&events);
    const std::string strOut = Path("out.pcap");
    ASSERT_EQ(pipe.Open(FakeLauncher("ok.sh", "--out '" + strOut + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    EXPECT_TRUE(ReadCapture(strOut).m_bOk);
}

TEST_F(CPipeSafetyTest, DirectoryThatIsALinkAFileOrOpenToOthersIsRefused)
{
    CPcapPipe pipe;
    pipe.SetTimeouts(300, 300);

    // A link to a directory of ours: nothing is created in it.
    const std::string strElsewhere = Path("elsewhere");
    ASSERT_EQ(mkdir(strElsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(strElsewhere.c_str(), m_strPipeDir.c_str()), 0);
    ExpectCreationRefused(pipe);
    EXPECT_FALSE(PathExists(strElsewhere + "/wireshark0"));
    ASSERT_EQ(unlink(m_strPipeDir.c_str()), 0);

    WriteFileText(m_strPipeDir, "x", 0600);
    ExpectCreationRefused(pipe);
    ASSERT_EQ(unlink(m_strPipeDir.c_str()), 0);

    // Group or others could swap entries in it: refused, and left as it is.
    ASSERT_EQ(mkdir(m_strPipeDir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(m_strPipeDir.c_str(), 0755), 0);
    ExpectCreationRefused(pipe);
    EXPECT_EQ(pipe.GetLastPipeError().m_nCode, EPERM);
    EXPECT_EQ(pipe.GetLastPipeError().m_eKind, EOsError::AccessDenied);
    struct stat st;
    ASSERT_EQ(lstat(m_strPipeDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_FALSE(PathExists(m_strFifo));
}

TEST_F(CPipeSafetyTest, EntriesOwnedBySomeoneElseAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another user";
    const uid_t UID_OTHER = 65534;
    CPcapPipe pipe;
    pipe.SetTimeouts(300, 300);

    ASSERT_EQ(mkdir(m_strPipeDir.c_str(), 0700), 0);
    ASSERT_EQ(chown(m_strPipeDir.c_str(), UID_OTHER, UID_OTHER), 0);
    ExpectCreationRefused(pipe);
    EXPECT_EQ(pipe.GetLastPipeError().m_nCode, EPERM);
    EXPECT_EQ(pipe.GetLastPipeError().m_eKind, EOsError::AccessDenied);
    EXPECT_FALSE(PathExists(m_strFifo));

    ASSERT_EQ(chown(m_strPipeDir.c_str(), 0, 0), 0);
    ASSERT_EQ(mkfifo(m_strFifo.c_str(), 0600), 0);
    ASSERT_EQ(chown(m_strFifo.c_str(), UID_OTHER, UID_OTHER), 0);
    ExpectCreationRefused(pipe);
    EXPECT_EQ(pipe.GetLastPipeError().m_nCode, EPERM);
    EXPECT_EQ(pipe.GetLastPipeError().m_eKind, EOsError::AccessDenied);
    struct stat st;
    ASSERT_EQ(lstat(m_strFifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, UID_OTHER);
}

// The pipe was ours when it was made; someone swaps in a link between two
// captures. The next client wait refuses it instead of writing through it.
TEST_F(CPipeSafetyTest, LinkPlantedWhileThePipeIsKeptIsNotWrittenThrough)
{
    const std::string strBait = Path("bait.fifo");
    ASSERT_EQ(mkfifo(strBait.c_str(), 0600), 0);
    const int nBaitReader = open(strBait.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nBaitReader, 0);

    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(Path("missing-ws").c_str()), 0);   // Idle, the FIFO kept
    ASSERT_TRUE(IsFifo(m_strFifo));
    ASSERT_EQ(unlink(m_strFifo.c_str()), 0);
    ASSERT_EQ(symlink(strBait.c_str(), m_strFifo.c_str()), 0);

    // A frame in Idle is dropped at once and opens nothing.
    const std::vector<uint8_t> v = Payload(30, 1);
    const auto t0 = std::chrono::steady_clock::now();
    pipe.WritePacket(v.data(), 30);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    uint8_t byBuf[64];
    EXPECT_EQ(read(nBaitReader, byBuf, sizeof byBuf), 0);   // no writer ever came
    EXPECT_TRUE(PathExists(m_strFifo));                     // not ours to remove

    // The next Start launches and then waits for a client: the link is none.
    {
        CStdoutCapture out(Path("stdout.txt"));
        EXPECT_EQ(pipe.Open(FakeLauncher("never.sh", "--no-open").c_str()), 1);
        ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECT_FAILED));
        EXPECT_EQ(out.Stop(), "execute success !\nPipe open error!\r\n");
    }
    EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_CONNECT_ERROR);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    EXPECT_EQ(read(nBaitReader, byBuf, sizeof byBuf), 0);
    close(nBaitReader);
}

// Another FIFO put in place of ours (not a link) with a reader waiting on it:
// whatever we open must be the FIFO we made.
TEST_F(CPipeSafetyTest, FifoSwappedForAnotherIsNotFed)
{
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(Path("missing-ws").c_str()), 0);
    ASSERT_EQ(unlink(m_strFifo.c_str()), 0);
    ASSERT_EQ(mkfifo(m_strFifo.c_str(), 0600), 0);
    const int nReader = open(m_strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);

    const std::vector<uint8_t> v = Payload(30, 1);
    pipe.WritePacket(v.data(), 30);   // Idle: dropped
    EXPECT_EQ(pipe.Open(FakeLauncher("never.sh", "--no-open").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECT_FAILED));
    EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_CONNECT_ERROR);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    uint8_t byBuf[64];
    EXPECT_EQ(read(nReader, byBuf, sizeof byBuf), 0);
    EXPECT_TRUE(IsFifo(m_strFifo));   // not ours to remove
    close(nReader);
}

TEST_F(CPipeSafetyTest, PrivateModesUnderAnyUmask)
{
    const mode_t nOld = umask(0277);   // would leave the owner without write access
    CPcapPipe pipe;
    pipe.SetTimeouts(10000, 10000);
    EXPECT_EQ(pipe.Open(Path("missing-ws").c_str()), 0);
    umask(nOld);
    struct stat st;
    ASSERT_EQ(lstat(m_strPipeDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(lstat(m_strFifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(CPipeSafetyTest, PipePathFollowsTheRuntimeDirectoryElseAPerUserTmpDirectory)
{
    EXPECT_EQ(std::string(CPcapPipe().GetPipePath()), m_strFifo);
    setenv("XDG_RUNTIME_DIR", (m_strRun + "//").c_str(), 1);
    EXPECT_EQ(std::string(CPcapPipe().GetPipePath()), m_strFifo);
    const std::string strTmp = "/tmp/quillmark-" + std::to_string(geteuid()) + "/wireshark0";
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);   // not a usable runtime directory
    EXPECT_EQ(std::string(CPcapPipe().GetPipePath()), strTmp);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(std::string(CPcapPipe().GetPipePath()), strTmp);
}

// One pipe per user, as the Windows pipe allows one instance: a second
// program feeding the same FIFO would mix two streams into one capture.
TEST_F(CPipeSafetyTest, SecondInstanceIsRefusedWhileTheFirstHoldsThePipe)
{
    const std::string strOut = Path("out.pcap");
    CPcapPipe second;
    second.SetTimeouts(10000, 10000);
    {
        CPcapPipe first;
        EXPECT_EQ(first.Open(Path("missing-ws").c_str()), 0);
        ASSERT_EQ(first.GetState(), PIPE_STATE_IDLE);
        ExpectCreationRefused(second);
        EXPECT_EQ(second.GetLastPipeError().m_nCode, EWOULDBLOCK);
        EXPECT_EQ(second.GetLastPipeError().m_eKind, EOsError::Busy);
        EXPECT_TRUE(IsFifo(m_strFifo));
    }
    EXPECT_FALSE(PathExists(m_strFifo));
    CPipeEventLog events;
    second.SetEvents(&events);
    ASSERT_EQ(second.Open(FakeLauncher("ok.sh", "--out '" + strOut + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    second.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    EXPECT_TRUE(ReadCapture(strOut).m_bOk);
}
