// The Start check and the detached launch of Wireshark, with real programs.
#include "pcap_pipe_fixture.h"

#include "pcap/launch.h"

#include <sstream>

class CLaunchTest : public CPipeTest {
protected:
    void SetUp() override
    {
        CPipeTest::SetUp();
        const char* pszPath = getenv("PATH");
        m_strSavedPath = pszPath != nullptr ? pszPath : "";
        m_strBin1 = Path("bin1");
        m_strBin2 = Path("bin2");
        ASSERT_EQ(mkdir(m_strBin1.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(m_strBin2.c_str(), 0700), 0);
    }
    void TearDown() override
    {
        setenv("PATH", m_strSavedPath.c_str(), 1);
        CPipeTest::TearDown();
    }

    std::string m_strSavedPath, m_strBin1, m_strBin2;
};

static std::vector<std::string> InfoLines(const std::string& strInfo)
{
    return SplitLines(ReadFileText(strInfo));
}

TEST_F(CLaunchTest, StartCheckLooksUpBareNamesInPathAndTakesAnyPathThatExists)
{
    WriteFileText(m_strBin1 + "/ws-plain", "data", 0600);   // not executable
    ASSERT_EQ(mkdir((m_strBin1 + "/ws-dir").c_str(), 0700), 0);
    WriteFileText(m_strBin2 + "/ws-plain", "#!/bin/sh\n", 0700);
    WriteFileText(m_strBin2 + "/ws-dir", "#!/bin/sh\n", 0700);
    WriteFileText(m_strBin1 + "/ws-first", "#!/bin/sh\n", 0700);
    WriteFileText(m_strBin2 + "/ws-first", "#!/bin/sh\n", 0700);
    WriteFileText(Path("ws-cwd"), "#!/bin/sh\n", 0700);
    setenv("PATH", (m_strBin1 + "::" + m_strBin2).c_str(), 1);

    // Bare names: the first executable file along PATH; a file without
    // execute permission or a directory of that name is passed over.
    EXPECT_TRUE(ProgramExists("ws-plain"));
    EXPECT_EQ(ResolveProgram("ws-plain"), m_strBin2 + "/ws-plain");
    EXPECT_EQ(ResolveProgram("ws-dir"), m_strBin2 + "/ws-dir");
    EXPECT_EQ(ResolveProgram("ws-first"), m_strBin1 + "/ws-first");
    EXPECT_FALSE(ProgramExists("qm-no-such-program"));
    EXPECT_EQ(ResolveProgram("qm-no-such-program"), "");
    // The empty PATH entry does not stand for the current directory.
    char szCwd[4096];
    ASSERT_NE(getcwd(szCwd, sizeof szCwd), nullptr);
    ASSERT_EQ(chdir(m_strDir.c_str()), 0);
    EXPECT_FALSE(ProgramExists("ws-cwd"));
    ASSERT_EQ(chdir(szCwd), 0);

    // A path with '/': anything that exists.
    EXPECT_TRUE(ProgramExists((m_strBin1 + "/ws-plain").c_str()));
    EXPECT_TRUE(ProgramExists(m_strBin1.c_str()));
    EXPECT_FALSE(ProgramExists((m_strBin1 + "/nothing").c_str()));
    EXPECT_EQ(ResolveProgram((m_strBin1 + "/nothing").c_str()), m_strBin1 + "/nothing");
    EXPECT_FALSE(ProgramExists(""));
    EXPECT_FALSE(ProgramExists(nullptr));
}

TEST_F(CLaunchTest, ArgumentsReachTheProgramLiterallyWithoutAShell)
{
    const std::string strInfo = Path("info.txt");
    const std::string strOdd = "a b;touch " + Path("pwned") + " $(touch " + Path("pwned2") + ") '\"*";
    const char* const pszArgs[] = {"--info", strInfo.c_str(), "--no-open", "-i", strOdd.c_str(), "-k"};
    ASSERT_FALSE(LaunchDetached(QM_FAKE_WIRESHARK, pszArgs, 6).IsError());
    ASSERT_TRUE(WaitForFile(strInfo));
    const std::vector<std::string> vInfo = InfoLines(strInfo);
    ASSERT_EQ(vInfo.size(), 3u + 7u);
    EXPECT_EQ(vInfo[3], QM_FAKE_WIRESHARK);   // argv[0] is the path as given
    EXPECT_EQ(vInfo[4], "--info");
    EXPECT_EQ(vInfo[7], "-i");
    EXPECT_EQ(vInfo[8], strOdd);
    EXPECT_EQ(vInfo[9], "-k");
    EXPECT_FALSE(PathExists(Path("pwned")));
    EXPECT_FALSE(PathExists(Path("pwned2")));

    // A bare name runs the program found in PATH.
    ASSERT_EQ(symlink(QM_FAKE_WIRESHARK, (m_strBin1 + "/qm-fake-ws").c_str()), 0);
    setenv("PATH", m_strBin1.c_str(), 1);
    const std::string strInfo2 = Path("info2.txt");
    const char* const pszArgs2[] = {"--info", strInfo2.c_str(), "--no-open", "-i", "x", "-k"};
    ASSERT_FALSE(LaunchDetached("qm-fake-ws", pszArgs2, 6).IsError());
    ASSERT_TRUE(WaitForFile(strInfo2));
    EXPECT_EQ(InfoLines(strInfo2)[3], "qm-fake-ws");
}

TEST_F(CLaunchTest, LaunchedProgramIsDetachedInheritsNothingAndLeavesNoZombie)
{
    // What the rest of the program may hold: a descriptor without
    // close-on-exec (the serial port is opened with it, but not everything
    // a process holds is), and SIGPIPE ignored as the pipe link does.
    const int nLeaky = open(Path("leaky").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(nLeaky, 3);
    signal(SIGPIPE, SIG_IGN);

    const int nZombiesBefore = CountZombieChildren();
    std::vector<std::string> vInfos;
    for (int i = 0; i < 5; ++i) {
        vInfos.push_back(Path("info" + std::to_string(i) + ".txt"));
        const char* const pszArgs[] = {"--info", vInfos.back().c_str(), "--no-open", "-i", "x", "-k"};
        ASSERT_FALSE(LaunchDetached(QM_FAKE_WIRESHARK, pszArgs, 6).IsError());
    }
    close(nLeaky);
    for (const std::string& strInfo : vInfos) {
        ASSERT_TRUE(WaitForFile(strInfo));
        const std::vector<std::string> vInfo = InfoLines(strInfo);
        ASSERT_GE(vInfo.size(), 3u);
        long nPid = 0, nPpid = 0, nSid = 0;
        ASSERT_EQ(sscanf(vInfo[0].c_str(), "%ld %ld %ld", &nPid, &nPpid, &nSid), 3);
        EXPECT_NE(nPpid, static_cast<long>(getpid()));   // not our child
        EXPECT_EQ(nSid, nPid);                           // a session of its own
        // Standard input, output and error at most (as the test runner left them).
        ASSERT_EQ(vInfo[1].rfind("fds", 0), 0u);
        std::istringstream fds(vInfo[1].substr(3));
        int nFd;
        while (fds >> nFd)
            EXPECT_LE(nFd, 2) << vInfo[1];
        EXPECT_EQ(vInfo[2], "sigpipe dfl");
        // It has exited (or is about to); it must never sit as our zombie.
        for (int n = 0; n < 1000 && ProcessState(static_cast<pid_t>(nPid)) != 0
                        && ProcessState(static_cast<pid_t>(nPid)) != 'Z';
             ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(CountZombieChildren(), nZombiesBefore);
    EXPECT_EQ(nZombiesBefore, 0);
}

TEST_F(CLaunchTest, FailuresReportTheirErrorNumber)
{
    const char* const pszArgs[] = {"-i", "x", "-k"};
    EXPECT_EQ(LaunchDetached(Path("missing").c_str(), pszArgs, 3).m_nCode, ENOENT);
    EXPECT_EQ(LaunchDetached("", pszArgs, 3).m_nCode, ENOENT);
    EXPECT_EQ(LaunchDetached(nullptr, pszArgs, 3).m_nCode, ENOENT);
    setenv("PATH", m_strBin1.c_str(), 1);
    EXPECT_EQ(LaunchDetached("qm-not-in-path", pszArgs, 3).m_nCode, ENOENT);
    setenv("PATH", m_strSavedPath.c_str(), 1);

    WriteFileText(Path("plain"), "data", 0600);
    EXPECT_EQ(LaunchDetached(Path("plain").c_str(), pszArgs, 3).m_nCode, EACCES);
    EXPECT_EQ(LaunchDetached(m_strBin1.c_str(), pszArgs, 3).m_nCode, EACCES);   // a directory
    // A script whose interpreter is missing: the exec itself fails.
    WriteFileText(Path("script"), "#!" + Path("no-interpreter") + "\n", 0700);
    EXPECT_EQ(LaunchDetached(Path("script").c_str(), pszArgs, 3).m_nCode, ENOENT);
    // No shell fallback for a file that is no program at all.
    WriteFileText(Path("text"), "echo hello > " + Path("ran") + "\n", 0700);
    EXPECT_EQ(LaunchDetached(Path("text").c_str(), pszArgs, 3).m_nCode, ENOEXEC);
    // The kinds that portable code decides on, with the system's own text.
    const COsError errMissing = LaunchDetached(Path("missing").c_str(), pszArgs, 3);
    EXPECT_EQ(errMissing.m_eKind, EOsError::NotFound);
    EXPECT_EQ(errMissing.m_strText, std::strerror(ENOENT));
    EXPECT_EQ(LaunchDetached(Path("plain").c_str(), pszArgs, 3).m_eKind, EOsError::AccessDenied);
    EXPECT_EQ(LaunchDetached(Path("text").c_str(), pszArgs, 3).m_eKind, EOsError::WrongKind);
    EXPECT_FALSE(PathExists(Path("ran")));
    EXPECT_EQ(CountZombieChildren(), 0);
}
