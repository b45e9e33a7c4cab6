// The settings store on Windows against the platform's own INI calls: what
// the store writes, GetPrivateProfile*A read back, and what
// WritePrivateProfileStringA writes, the store reads; the file sits beside
// the .exe, or in %APPDATA% when that folder is closed to the user.
#include <gtest/gtest.h>

#include <string>

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
