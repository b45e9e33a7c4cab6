// Where the settings file lives: beside the executable when the user may
// write there, else in the user's configuration home.
#include "settings_fixture.h"

#include <sys/stat.h>

#include <vector>

class SettingsLocation : public CSettingsTree {};

static std::string s_strProbed;
static bool RefuseEveryDir(const char* pszDir)
{
    s_strProbed = pszDir;
    return false;
}
static bool AcceptEveryDir(const char*)
{
    return true;
}

TEST_F(SettingsLocation, ExecutableDirectoryWhenWritable)
{
    EXPECT_EQ(std::string(GetSettingsDirectory()), m_strApp);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 13), 1);
    EXPECT_TRUE(PathExists(Ini()));
    EXPECT_FALSE(PathExists(m_strXdg));
}

TEST_F(SettingsLocation, RefusedDirectoryFallsBackToConfigHome)
{
    WriteBytes(Ini(), "[Config]\nComPort=5\n");
    SetSettingsDirProbe(RefuseEveryDir);
    InitSettingsPathFor(m_strApp.c_str());
    EXPECT_EQ(s_strProbed, m_strApp);
    EXPECT_EQ(std::string(GetSettingsDirectory()), XdgDir());
    EXPECT_EQ(std::string(GetSettingsPath()), XdgDir() + "/Quillmark.ini");

    // Reads and writes alike go to the per-user file; reads create nothing.
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_FALSE(PathExists(m_strXdg));
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 9), 1);
    EXPECT_EQ(ReadBytes(XdgDir() + "/Quillmark.ini"), "[Config]\nComPort=9\n");
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nComPort=5\n");
    struct stat st;
    ASSERT_EQ(stat(XdgDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The choice was made once: it holds until the path is computed again.
    SetSettingsDirProbe(AcceptEveryDir);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 9);
    InitSettingsPathFor(m_strApp.c_str());
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 5);
}

// The real writability check, with the directory's permissions doing the
// refusing (root would pass it, so this runs as an ordinary user).
TEST_F(SettingsLocation, ReadOnlyDirectoryFallsBackForReal)
{
    ASSERT_EQ(chmod(m_strApp.c_str(), 0555), 0);
    const std::string strApp = m_strApp;
    const std::string strXdgIni = XdgDir() + "/Quillmark.ini";
    const std::string strReport = RunUnprivileged(m_strRoot, [&]() -> std::string {
        InitSettingsPathFor(strApp.c_str());
        if (std::string(GetSettingsPath()) != strXdgIni)
            return std::string("settings path is ") + GetSettingsPath();
        if (WriteSettingInt(SETTINGS_INDEX, "Channel", 20) != 1)
            return "write into the configuration home failed";
        if (ReadSettingInt(SETTINGS_INDEX, "Channel", 11) != 20)
            return "value did not read back";
        return "";
    });
    if (strReport == "SKIP")
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(strReport, "");
    EXPECT_EQ(ReadBytes(strXdgIni), "[Config]\nChannel=20\n");
    EXPECT_TRUE(ListDir(m_strApp).empty());
}

TEST_F(SettingsLocation, UnusableExecutableDirectories)
{
    const std::string strFile = m_strRoot + "/plainfile";
    WriteBytes(strFile, "x");
    const std::string strLong = m_strApp + "/" + std::string(400, 'd');
    // The longest directory whose INI path still fits the 384-byte buffer.
    const std::string strParent = m_strRoot + "/" + std::string(200, 'p');
    const std::string strJustFits = strParent + "/" + std::string(384 - 15 - strParent.size() - 1, 'f');
    ASSERT_EQ(strJustFits.size() + sizeof("/Quillmark.ini"), 384u);
    ASSERT_EQ(mkdir(strParent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(strJustFits.c_str(), 0755), 0);
    const std::string strOneTooLong = strJustFits + "g";
    ASSERT_EQ(mkdir(strOneTooLong.c_str(), 0755), 0);

    // A path through a plain file cannot be a directory, not even for root.
    for (const std::string& strDir : {m_strRoot + "/missing", strFile + "/sub", strFile, std::string(), strLong, strOneTooLong}) {
        InitSettingsPathFor(strDir.c_str());
        EXPECT_EQ(std::string(GetSettingsDirectory()), XdgDir()) << strDir;
        EXPECT_EQ(std::string(GetSettingsPath()), XdgDir() + "/Quillmark.ini") << strDir;
    }
    InitSettingsPathFor(nullptr);
    EXPECT_EQ(std::string(GetSettingsDirectory()), XdgDir());

    InitSettingsPathFor(strJustFits.c_str());
    EXPECT_EQ(std::string(GetSettingsPath()), strJustFits + "/Quillmark.ini");

    // Nowhere that fits: no path at all rather than a cut one. Reads give
    // defaults, writes fail, nothing is created.
    setenv("XDG_CONFIG_HOME", (m_strRoot + "/" + std::string(380, 'x')).c_str(), 1);
    InitSettingsPathFor(strOneTooLong.c_str());
    EXPECT_STREQ(GetSettingsPath(), "");
    EXPECT_STREQ(GetSettingsDirectory(), "");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 4), 0);
    EXPECT_TRUE(ListDir(strOneTooLong).empty());
    EXPECT_EQ(ListDir(m_strRoot), (std::set<std::string>{"app", "plainfile", std::string(200, 'p')}));
}

TEST_F(SettingsLocation, ConfigHomeRules)
{
    const std::string strHome = m_strRoot + "/home";
    setenv("HOME", strHome.c_str(), 1);
    SetSettingsDirProbe(RefuseEveryDir);

    unsetenv("XDG_CONFIG_HOME");
    InitSettingsPathFor(m_strApp.c_str());
    EXPECT_EQ(std::string(GetSettingsDirectory()), strHome + "/.config/Quillmark");

    for (const char* pszIgnored : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", pszIgnored, 1);
        InitSettingsPathFor(m_strApp.c_str());
        EXPECT_EQ(std::string(GetSettingsDirectory()), strHome + "/.config/Quillmark") << pszIgnored;
    }

    setenv("HOME", (strHome + "/").c_str(), 1);
    InitSettingsPathFor(m_strApp.c_str());
    EXPECT_EQ(std::string(GetSettingsDirectory()), strHome + "/.config/Quillmark");

    // The first write makes the whole chain of directories.
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 3), 1);
    EXPECT_EQ(ReadBytes(strHome + "/.config/Quillmark/Quillmark.ini"), "[Config]\nComPort=3\n");

    // No usable HOME: the password database's home (only computed here, never written).
    unsetenv("HOME");
    unsetenv("XDG_CONFIG_HOME");
    InitSettingsPathFor(m_strApp.c_str());
    const std::string strDir = GetSettingsDirectory();
    ASSERT_GT(strDir.size(), sizeof("/.config/Quillmark"));
    EXPECT_EQ(strDir[0], '/');
    EXPECT_EQ(strDir.substr(strDir.size() - 18), "/.config/Quillmark");
}

TEST_F(SettingsLocation, ConfigHomeThatCannotBeMadeFailsTheWrite)
{
    const std::string strFile = m_strRoot + "/plainfile";
    WriteBytes(strFile, "x");
    setenv("XDG_CONFIG_HOME", (strFile + "/cfg").c_str(), 1);
    SetSettingsDirProbe(RefuseEveryDir);
    InitSettingsPathFor(m_strApp.c_str());
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 3), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(ReadBytes(strFile), "x");
}

TEST_F(SettingsLocation, ExecutableDirectoryOfThisProgram)
{
    std::vector<char> vecDir(SETTINGS_EXE_DIR_SIZE, 'x');   // exactly the promised size, for ASan
    GetExeDirectory(vecDir.data());
    const std::string strDir = vecDir.data();
    ASSERT_FALSE(strDir.empty());
    EXPECT_EQ(strDir[0], '/');
    EXPECT_NE(strDir.back(), '/');
    // The directory holds this very executable.
    struct stat stSelf;
    struct stat stNamed;
    ASSERT_EQ(stat("/proc/self/exe", &stSelf), 0);
    ASSERT_EQ(stat((strDir + "/settings_location_test").c_str(), &stNamed), 0);
    EXPECT_EQ(stSelf.st_ino, stNamed.st_ino);
    EXPECT_EQ(stSelf.st_dev, stNamed.st_dev);

    SetSettingsDirProbe(AcceptEveryDir);
    InitSettingsPath();
    EXPECT_EQ(std::string(GetSettingsPath()), strDir + "/Quillmark.ini");
    EXPECT_EQ(std::string(GetSettingsDirectory()), strDir);
}

// What counts as installed: the system's program folders, Wireshark's extcap
// folders under /usr, and the folders this build installs into, each
// resolved; a build tree or an unpacked folder anywhere else is not.
TEST_F(SettingsLocation, InstalledFolders)
{
    for (const char* pszDir : {"/usr/bin", "/usr/bin/", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin",
                               "/bin", "/sbin", "/usr/./bin", "/usr/lib/../bin",
                               "/usr/lib/x86_64-linux-gnu/wireshark/extcap", "/usr/lib/wireshark/extcap",
                               "/usr/libexec/wireshark/extcap", "/usr/local/lib/wireshark/extcap"})
        EXPECT_TRUE(SettingsExeDirInstalled(pszDir, "")) << pszDir;
    for (const char* pszDir : {"", "usr/bin", "bin", ".", "/usr", "/usr/bin2", "/usr/bin/sub", "/usr/local",
                               "/opt/quillmark/bin", "/usr/lib/wireshark/extcap2", "/usr/lib/wireshark",
                               "/home/me/wireshark/extcap", "/tmp"})
        EXPECT_FALSE(SettingsExeDirInstalled(pszDir, "")) << pszDir;
    EXPECT_FALSE(SettingsExeDirInstalled(nullptr, nullptr));
    EXPECT_FALSE(SettingsExeDirInstalled(m_strApp.c_str(), ""));

    // The configured folders: a ':'-separated list, relative entries ignored,
    // missing folders compared by their text.
    EXPECT_TRUE(SettingsExeDirInstalled("/opt/quillmark/bin", "/opt/quillmark/bin"));
    EXPECT_TRUE(SettingsExeDirInstalled("/opt/quillmark/bin/", "/srv/x:/opt/quillmark/./bin/:relative"));
    EXPECT_FALSE(SettingsExeDirInstalled("/opt/quillmark/bin", "opt/quillmark/bin::/opt/quillmark"));
    EXPECT_TRUE(SettingsExeDirInstalled(m_strApp.c_str(), (m_strRoot + "/x:" + m_strApp).c_str()));

    // Links are followed, on both sides (links inside the tree only: the
    // fixture's clean-up must never reach a system folder).
    const std::string strLinkToApp = m_strRoot + "/app-link";
    ASSERT_EQ(symlink(m_strApp.c_str(), strLinkToApp.c_str()), 0);
    EXPECT_TRUE(SettingsExeDirInstalled(strLinkToApp.c_str(), m_strApp.c_str()));
    EXPECT_TRUE(SettingsExeDirInstalled(m_strApp.c_str(), strLinkToApp.c_str()));
    EXPECT_FALSE(SettingsExeDirInstalled(strLinkToApp.c_str(), ""));
}

// An installed program keeps its settings per user, also where it could
// write beside itself (root may write to /usr/bin): it never asks.
TEST_F(SettingsLocation, InstalledProgramUsesConfigHome)
{
    SetSettingsDirProbe(AcceptEveryDir);
    for (const char* pszDir : {"/usr/bin", "/usr/local/bin", "/usr/lib/x86_64-linux-gnu/wireshark/extcap"}) {
        InitSettingsPathFor(pszDir);
        EXPECT_EQ(std::string(GetSettingsDirectory()), XdgDir()) << pszDir;
        EXPECT_EQ(std::string(GetSettingsPath()), XdgDir() + "/Quillmark.ini") << pszDir;
    }

    // A folder installed into, writable for real: still the per-user file.
    SetSettingsDirProbe(nullptr);
    InitSettingsPathFor(m_strApp.c_str(), (m_strRoot + "/other:" + m_strApp).c_str());
    EXPECT_EQ(std::string(GetSettingsDirectory()), XdgDir());
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 21), 1);
    EXPECT_EQ(ReadBytes(XdgDir() + "/Quillmark.ini"), "[Config]\nChannel=21\n");
    EXPECT_TRUE(ListDir(m_strApp).empty());

    // The same folder not installed into: beside the program, as before.
    InitSettingsPathFor(m_strApp.c_str(), (m_strRoot + "/other").c_str());
    EXPECT_EQ(std::string(GetSettingsPath()), Ini());

    // No per-user place that fits: no path at all, never the program's folder.
    setenv("XDG_CONFIG_HOME", (m_strRoot + "/" + std::string(380, 'x')).c_str(), 1);
    InitSettingsPathFor(m_strApp.c_str(), m_strApp.c_str());
    EXPECT_STREQ(GetSettingsPath(), "");
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 22), 0);
    EXPECT_TRUE(ListDir(m_strApp).empty());
    // A program that is not installed still reads beside itself then.
    InitSettingsPathFor(m_strApp.c_str(), "");
    EXPECT_EQ(std::string(GetSettingsPath()), Ini());
}

// This build's own output folder is never among the folders it installs into:
// the tests' programs run from the build tree and keep their settings there.
TEST_F(SettingsLocation, BuildTreeIsNotInstalled)
{
    std::vector<char> vecDir(SETTINGS_EXE_DIR_SIZE, 'x');
    GetExeDirectory(vecDir.data());
    EXPECT_FALSE(SettingsExeDirInstalled(vecDir.data(), SettingsBuiltInstallDirs()))
        << vecDir.data() << " among " << SettingsBuiltInstallDirs();
}
