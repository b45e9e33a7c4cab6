// The settings store on Windows against the platform's own INI calls: what
// the store writes, GetPrivateProfile*A read back, and what
// WritePrivateProfileStringA writes, the store reads; the file sits beside
// the .exe, or in %APPDATA% when that folder is closed to the user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ini_file.h"
#include "base/profile_api.h"
#include "base/settings.h"
#include "base/settings_os.h"
#include "win32_test_util.h"

namespace {

constexpr DWORD PROFILE_TEXT_SIZE = 256;

std::string ProfileString(const char* pszSection, const char* pszKey, const std::string& strFile)
{
    char szValue[PROFILE_TEXT_SIZE];
    GetPrivateProfileStringA(pszSection, pszKey, "<none>", szValue, sizeof(szValue), strFile.c_str());
    return szValue;
}

bool RefuseEveryDir(const char*)
{
    return false;
}

class CSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strDir = qmtest::MakeScratchDir("ini");
        InitSettingsPathFor(m_strDir.c_str());
        m_strFile = GetSettingsPath();
    }
    void TearDown() override { SetSettingsDirProbe(nullptr); }
    std::string m_strDir;
    std::string m_strFile;
};

} // namespace

TEST_F(CSettingsTest, NoFileGivesTheDefaults)
{
    EXPECT_EQ(m_strFile, m_strDir + "/Quillmark.ini");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 11);
    char szPath[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szPath);
    EXPECT_STREQ(szPath, "wireshark.exe");
}

TEST_F(CSettingsTest, StoreWritesWhatTheProfileCallsRead)
{
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 7), 1);
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 26), 1);
    const char* const pszExe = "C:\\Program Files\\Wireshark\\Wireshark.exe";
    ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", pszExe), 1);
    ASSERT_EQ(WriteSettingInt(4, "ComPort", 3), 1);
    EXPECT_EQ(GetPrivateProfileIntA("Config", "ComPort", 1, m_strFile.c_str()), 7u);
    EXPECT_EQ(GetPrivateProfileIntA("config", "CHANNEL", 11, m_strFile.c_str()), 26u);
    EXPECT_EQ(ProfileString("Config", "Wireshark", m_strFile), pszExe);
    EXPECT_EQ(GetPrivateProfileIntA("Config_4", "ComPort", 1, m_strFile.c_str()), 3u);
    std::string strText;
    ASSERT_TRUE(qmtest::ReadWholeFile(m_strFile, strText));
    EXPECT_EQ(strText.rfind("[Config]", 0), 0u) << strText;
}

TEST_F(CSettingsTest, StoreReadsWhatTheProfileCallsWrite)
{
    ASSERT_TRUE(WritePrivateProfileStringA("Config", "Channel", " 15 ", m_strFile.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Config", "Wireshark", "D:\\ws\\Wireshark.exe", m_strFile.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "Channel", "20", m_strFile.c_str()));
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "channel", 11), 15);
    char szPath[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "WIRESHARK", "x", szPath);
    EXPECT_STREQ(szPath, "D:\\ws\\Wireshark.exe");
    // A rewrite by the store keeps the lines it does not change.
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 16), 1);
    EXPECT_EQ(GetPrivateProfileIntA("Config", "Channel", 11, m_strFile.c_str()), 16u);
    EXPECT_EQ(GetPrivateProfileIntA("Other", "Channel", 11, m_strFile.c_str()), 20u);
    EXPECT_EQ(ProfileString("Config", "Wireshark", m_strFile), "D:\\ws\\Wireshark.exe");
}

TEST_F(CSettingsTest, ReplaceLeavesNoTemporaryFilesAndRefusesReadOnly)
{
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 5), 1);
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 6), 1);
    WIN32_FIND_DATAA fd;
    const HANDLE hFind = FindFirstFileA((m_strDir + "\\*").c_str(), &fd);
    ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
    int nFiles = 0;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            ++nFiles;
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    EXPECT_EQ(nFiles, 1);
    SetFileAttributesA(m_strFile.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 9), 0);
    EXPECT_EQ(GetLastSettingsWriteError(), "Settings not saved: " + m_strFile + " is read-only");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 6);
    SetFileAttributesA(m_strFile.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CSettingsTest, FileOperationsTellMissingFromUnusable)
{
    std::string strText;
    EXPECT_EQ(SettingsReadFile((m_strDir + "\\none.ini").c_str(), 1024, strText), SETTINGS_FILE_MISSING);
    EXPECT_EQ(SettingsReadFile((m_strDir + "\\no-dir\\x.ini").c_str(), 1024, strText), SETTINGS_FILE_MISSING);
    EXPECT_EQ(SettingsReadFile(m_strDir.c_str(), 1024, strText), SETTINGS_FILE_UNUSABLE);
    ASSERT_TRUE(qmtest::WriteWholeFile(m_strDir + "\\big.ini", std::string(2000, 'x')));
    EXPECT_EQ(SettingsReadFile((m_strDir + "\\big.ini").c_str(), 1024, strText), SETTINGS_FILE_UNUSABLE);
    EXPECT_TRUE(SettingsDirWritable(m_strDir.c_str()));
    EXPECT_FALSE(SettingsDirWritable((m_strDir + "\\no-dir").c_str()));
    EXPECT_TRUE(SettingsMakeDirs((m_strDir + "\\a\\b/c").c_str()));
    EXPECT_TRUE(SettingsDirWritable((m_strDir + "\\a\\b\\c").c_str()));
}

// The same writes once through the portable INI text layer and once through
// the platform's calls: either file reads back the same through either layer,
// and the store's reading rules (trimmed, quoted, integers, missing keys)
// hold on both, so the Windows and the POSIX builds agree on a file.
TEST_F(CSettingsTest, PortableLayerAndPlatformCallsAgree)
{
    const std::string strText = m_strDir + "/text.ini";
    const std::string strApi = m_strDir + "/api.ini";
    struct CWrite {
        const char* m_pszSection;
        const char* m_pszKey;
        const char* m_pszValue;
    };
    const std::string strLong(300, 'w');
    const CWrite writes[] = {
        {"Config", "ComPort", "7"}, {"Config", "Channel", "15"},
        {"Config", "Wireshark", "C:\\Program Files\\Wireshark\\Wireshark.exe"},
        {"Config_4", "ComPort", "-3"}, {"config", "CHANNEL", "26"}, {"Config", "Spaced", "  42abc  "},
        {"Config", "Quoted", "\"12\""}, {"Config", "Empty", ""}, {"Config", "Word", "abc"},
        {"Config", "Long", strLong.c_str()}, {"Config", "Gone", "1"}, {"Config", "Gone", nullptr},
    };
    for (const CWrite& w : writes) {
        ASSERT_TRUE(IniFileWriteString(strText.c_str(), w.m_pszSection, w.m_pszKey, w.m_pszValue)) << w.m_pszKey;
        ASSERT_TRUE(ProfileWriteString(strApi.c_str(), w.m_pszSection, w.m_pszKey, w.m_pszValue)) << w.m_pszKey;
    }
    struct CRead {
        const char* m_pszSection;
        const char* m_pszKey;
        int32_t m_nInt;            // read with default 5
        const char* m_pszString;   // read with default "<def>"
    };
    const CRead reads[] = {
        {"CONFIG", "comport", 7, "7"}, {"Config", "Channel", 26, "26"},
        {"Config", "Wireshark", 0, "C:\\Program Files\\Wireshark\\Wireshark.exe"},
        {"Config_4", "ComPort", -3, "-3"}, {"Config", "Spaced", 42, "42abc"}, {"Config", "Quoted", 12, "12"},
        {"Config", "Empty", 5, ""}, {"Config", "Word", 0, "abc"}, {"Config", "Long", 0, strLong.c_str()},
        {"Config", "Gone", 5, "<def>"}, {"Config", "Missing", 5, "<def>"}, {"Config_3", "ComPort", 5, "<def>"},
    };
    for (const std::string& strFile : {strText, strApi}) {
        for (const CRead& r : reads) {
            const std::string strWhere = strFile + " [" + r.m_pszSection + "] " + r.m_pszKey;
            EXPECT_EQ(IniFileGetInt(strFile.c_str(), r.m_pszSection, r.m_pszKey, 5), r.m_nInt) << strWhere;
            EXPECT_EQ(ProfileGetInt(strFile.c_str(), r.m_pszSection, r.m_pszKey, 5), r.m_nInt) << strWhere;
            std::string strPortable;
            std::string strPlatform;
            IniFileGetString(strFile.c_str(), r.m_pszSection, r.m_pszKey, "<def>", strPortable);
            ProfileGetString(strFile.c_str(), r.m_pszSection, r.m_pszKey, "<def>", strPlatform);
            EXPECT_EQ(strPortable, r.m_pszString) << strWhere;
            EXPECT_EQ(strPlatform, r.m_pszString) << strWhere;
        }
    }
}

// The store on the platform's calls keeps its promises: a value that does
// not fit the caller's buffer is told whole, not passed on cut; a value that
// would break the file is refused; a file that is not INI text is left alone.
TEST_F(CSettingsTest, PlatformCallsKeepTheStoreRules)
{
    std::vector<char> vecOut(SETTINGS_VALUE_SIZE);
    for (size_t nLen : {size_t(255), size_t(256), size_t(5000)}) {
        const std::string strValue(nLen, 'p');
        ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strValue.c_str()), 1);
        size_t nWhole = 0;
        EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", vecOut.data(), &nWhole), 255);
        EXPECT_EQ(nWhole, nLen);
    }
    const std::string strLongDefault(400, 'd');
    size_t nWhole = 0;
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Missing", strLongDefault.c_str(), vecOut.data(), &nWhole), 255);
    EXPECT_EQ(nWhole, 400u);

    ASSERT_TRUE(qmtest::WriteWholeFile(m_strFile, "[Config]\r\nComPort=7\r\n"));
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "C:\\x\r\n[Config]\r\nComPort=99"), 0);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Com=Port", "1"), 0);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, nullptr, 1), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 7);

    const std::string strBinary("\xff\xfe[\0C\0o\0n\0f\0i\0g\0]\0", 18);   // UTF-16: not ours to rewrite
    ASSERT_TRUE(qmtest::WriteWholeFile(m_strFile, strBinary));
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 3), 0);
    std::string strAfter;
    ASSERT_TRUE(qmtest::ReadWholeFile(m_strFile, strAfter));
    EXPECT_EQ(strAfter, strBinary);

    // Removing a key from a file that is not there creates nothing.
    ASSERT_TRUE(DeleteFileA(m_strFile.c_str()));
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", nullptr), 1);
    EXPECT_EQ(GetFileAttributesA(m_strFile.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(CSettingsPlace, BesideTheExeOrInAppData)
{
    char szDir[SETTINGS_PATH_SIZE];
    GetExeDirectory(szDir);
    EXPECT_EQ(std::string(szDir), qmtest::ExeDirectory());
    InitSettingsPath();
    EXPECT_EQ(std::string(GetSettingsPath()), qmtest::ExeDirectory() + "/Quillmark.ini");

    const std::string strAppData = qmtest::MakeScratchDir("appdata");
    SetEnvironmentVariableA("APPDATA", strAppData.c_str());
    SetSettingsDirProbe(RefuseEveryDir);
    InitSettingsPath();
    SetSettingsDirProbe(nullptr);
    EXPECT_EQ(std::string(GetSettingsPath()), strAppData + "/Quillmark/Quillmark.ini");
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 1);   // creates the folder
    EXPECT_EQ(GetPrivateProfileIntA("Config", "Channel", 11, GetSettingsPath()), 12u);
}

// Quillmark.ini as a symbolic link: one that leads out of the settings folder
// is read through but never written (the file it names keeps its bytes, the
// reason says where it leads); one to a file in the folder is written
// through. Skipped where symbolic links cannot be made (no privilege, or a
// Wine that does not make them as reparse points).
TEST_F(CSettingsTest, LinkOutOfTheFolderIsNeverWritten)
{
    const std::string strOutDir = qmtest::MakeScratchDir("outside");
    const std::string strOut = strOutDir + "\\pw.ini";
    const std::string strContent = "root:x:0:0\r\n[Config]\r\nChannel=20\r\n";
    ASSERT_TRUE(qmtest::WriteWholeFile(strOut, strContent));
    constexpr DWORD LINK_UNPRIVILEGED = 0x2;   // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (!CreateSymbolicLinkA(m_strFile.c_str(), strOut.c_str(), LINK_UNPRIVILEGED)
        && !CreateSymbolicLinkA(m_strFile.c_str(), strOut.c_str(), 0))
        GTEST_SKIP() << "no symbolic links here: " << GetLastError();
    const DWORD dwAttr = GetFileAttributesA(m_strFile.c_str());
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DeleteFileA(m_strFile.c_str());
        GTEST_SKIP() << "the link made is no reparse point here";
    }
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 20);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 0);
    const std::string strWhy = GetLastSettingsWriteError();
    EXPECT_EQ(strWhy.rfind("Settings not saved: Quillmark.ini is a link to ", 0), 0u) << strWhy;
    EXPECT_NE(strWhy.find("pw.ini, outside " + m_strDir), std::string::npos) << strWhy;
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "x.exe"), 0);
    std::string strAfter;
    ASSERT_TRUE(qmtest::ReadWholeFile(strOut, strAfter));
    EXPECT_EQ(strAfter, strContent);
    ASSERT_TRUE(DeleteFileA(m_strFile.c_str()));

    const std::string strIn = m_strDir + "\\shared.ini";
    ASSERT_TRUE(qmtest::WriteWholeFile(strIn, "[Config]\r\nChannel=11\r\n"));
    ASSERT_TRUE(CreateSymbolicLinkA(m_strFile.c_str(), strIn.c_str(), LINK_UNPRIVILEGED)
                || CreateSymbolicLinkA(m_strFile.c_str(), strIn.c_str(), 0));
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 1) << GetLastSettingsWriteError();
    EXPECT_EQ(GetLastSettingsWriteError(), "");
    EXPECT_EQ(GetPrivateProfileIntA("Config", "Channel", 11, strIn.c_str()), 12u);
    EXPECT_NE(GetFileAttributesA(m_strFile.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    DeleteFileA(m_strFile.c_str());
}
