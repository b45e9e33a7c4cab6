// Launching Wireshark with CreateProcessA: the error numbers the diagnostic
// line shows, where a bare name is found (App Paths, PATH, Program Files,
// never the current directory), and arguments that arrive as they were given.
#include <gtest/gtest.h>

#include <string>

#include "pcap/launch.h"
#include "win32_test_util.h"

namespace {

constexpr DWORD ARGS_FILE_MS = 10000;
const char* const APP_PATHS_TEST_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\qm-apppath-test.exe";

// Copies the stand-in reader under a new name into dir.
std::string PlaceProgram(const std::string& strDir, const char* pszName)
{
    CreateDirectoryA(strDir.c_str(), nullptr);
    const std::string strPath = strDir + "\\" + pszName;
    EXPECT_TRUE(CopyFileA(qmtest::ReaderExe().c_str(), strPath.c_str(), FALSE));
    return strPath;
}

// Sets an environment variable for the test's scope.
class CEnvScope {
public:
    CEnvScope(const char* pszName, const std::string& strValue) : m_strName(pszName)
    {
        char szOld[32767];
        const DWORD dwLen = GetEnvironmentVariableA(pszName, szOld, sizeof(szOld));
        m_bHad = dwLen > 0;
        m_strOld.assign(szOld, m_bHad ? dwLen : 0);
        SetEnvironmentVariableA(pszName, strValue.c_str());
    }
    ~CEnvScope() { SetEnvironmentVariableA(m_strName.c_str(), m_bHad ? m_strOld.c_str() : nullptr); }

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHad = false;
};

} // namespace

TEST(CLaunchErrors, MissingProgramIsTwo)
{
    const COsError err = LaunchDetached("C:\\no-such-dir\\wireshark.exe", nullptr, 0);
    EXPECT_EQ(err.m_nCode, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(err.m_eKind, EOsError::NotFound);
    EXPECT_FALSE(err.m_strText.empty());
    EXPECT_EQ(LaunchDetached("qm-no-such-program.exe", nullptr, 0).m_nCode, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(ProgramExists("qm-no-such-program.exe"));
    EXPECT_FALSE(ProgramExists(""));
}

TEST(CLaunchErrors, DirectoryIsFive)
{
    const std::string strDir = qmtest::MakeScratchDir("launch");
    EXPECT_TRUE(ProgramExists(strDir.c_str()));   // something exists there: Start goes on to the launch
    const COsError err = LaunchDetached(strDir.c_str(), nullptr, 0);
    EXPECT_EQ(err.m_nCode, ERROR_ACCESS_DENIED);
}

TEST(CLaunchErrors, NotAProgramIs193)
{
    const std::string strFile = qmtest::MakeScratchDir("launch") + "\\notes.exe";
    ASSERT_TRUE(qmtest::WriteWholeFile(strFile, "just text, not a program\r\n"));
    const COsError err = LaunchDetached(strFile.c_str(), nullptr, 0);
    EXPECT_EQ(err.m_nCode, ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(err.m_eKind, EOsError::WrongKind);
}

TEST(CLaunchLookup, BareNameFromPath)
{
    const std::string strDir = qmtest::MakeScratchDir("path") + "\\bin";
    const std::string strProgram = PlaceProgram(strDir, "qm-path-test.exe");
    CEnvScope path("PATH", "C:\\windows\\system32;;" + strDir);
    EXPECT_EQ(ResolveProgram("qm-path-test.exe"), strProgram);
    EXPECT_EQ(ResolveProgram("qm-path-test"), strProgram);   // ".exe" understood
    EXPECT_TRUE(ProgramExists("qm-path-test.exe"));
}

TEST(CLaunchLookup, BareNameFromAppPaths)
{
    const std::string strProgram = PlaceProgram(qmtest::MakeScratchDir("apppath"), "installed.exe");
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, APP_PATHS_TEST_KEY, nullptr, REG_SZ, strProgram.c_str(),
                              static_cast<DWORD>(strProgram.size() + 1)),
              ERROR_SUCCESS);
    EXPECT_EQ(ResolveProgram("qm-apppath-test.exe"), strProgram);
    RegDeleteKeyA(HKEY_CURRENT_USER, APP_PATHS_TEST_KEY);
    EXPECT_EQ(ResolveProgram("qm-apppath-test.exe"), "");
}

TEST(CLaunchLookup, BareNameFromTheWiresharkFolder)
{
    const std::string strRoot = qmtest::MakeScratchDir("progfiles");
    const std::string strProgram = PlaceProgram(strRoot + "\\Wireshark", "qm-pf-test.exe");
    CEnvScope programFiles("ProgramW6432", strRoot);
    EXPECT_EQ(ResolveProgram("qm-pf-test.exe"), strProgram);
}

TEST(CLaunchLookup, CurrentDirectoryIsNotSearched)
{
    const std::string strDir = qmtest::MakeScratchDir("cwd");
    PlaceProgram(strDir, "qm-cwd-test.exe");
    char szOld[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, szOld);
    SetCurrentDirectoryA(strDir.c_str());
    EXPECT_EQ(ResolveProgram("qm-cwd-test.exe"), "");
    EXPECT_FALSE(ProgramExists("qm-cwd-test.exe"));
    SetCurrentDirectoryA(szOld);
}

TEST(CLaunchRun, ArgumentsArriveAsGiven)
{
    const std::string strDir = qmtest::MakeScratchDir("args");
    const std::string strProgram = PlaceProgram(strDir + "\\with space", "reader copy.exe");
    const std::string strArgsFile = strDir + "\\args.txt";
    CEnvScope args("QM_READER_ARGS", strArgsFile);
    const char* const apszArgs[] = {"-i", "\\\\.\\pipe\\wireshark0", "-k", "a \"quoted\" word", "ends\\"};
    const COsError err = LaunchDetached(strProgram.c_str(), apszArgs, 5);
    ASSERT_FALSE(err.IsError()) << err.m_nCode << " " << err.m_strText;
    ASSERT_TRUE(qmtest::WaitForFile(strArgsFile, ARGS_FILE_MS));
    Sleep(100);   // the file is written in one go, but give the writer time to close it
    std::string strGot;
    ASSERT_TRUE(qmtest::ReadWholeFile(strArgsFile, strGot));
    EXPECT_EQ(strGot, strProgram + "\n-i\n\\\\.\\pipe\\wireshark0\n-k\na \"quoted\" word\nends\\\n");
}

TEST(COsErrorWin32, CodesDecodeIntoKindsWithTheSystemText)
{
    EXPECT_EQ(OsErrorFromCode(ERROR_SUCCESS).m_eKind, EOsError::None);
    EXPECT_EQ(OsErrorFromCode(ERROR_PATH_NOT_FOUND).m_eKind, EOsError::NotFound);
    EXPECT_EQ(OsErrorFromCode(ERROR_PIPE_BUSY).m_eKind, EOsError::Busy);
    EXPECT_EQ(OsErrorFromCode(ERROR_BROKEN_PIPE).m_eKind, EOsError::Gone);
    EXPECT_EQ(OsErrorFromCode(ERROR_NO_DATA).m_eKind, EOsError::Gone);
    EXPECT_EQ(OsErrorFromCode(ERROR_OUTOFMEMORY).m_eKind, EOsError::NoResources);
    const COsError err = OsErrorFromCode(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(err.m_nCode, 2);
    EXPECT_FALSE(err.m_strText.empty());
    EXPECT_NE(err.m_strText.back(), '\n');   // the system's line break is cut
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(OsLastError().m_eKind, EOsError::AccessDenied);
    EXPECT_EQ(OsErrorFromCode(0x12345).m_strText.empty(), false);   // no system text: a number
}
