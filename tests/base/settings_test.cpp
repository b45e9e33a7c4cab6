// The settings store on real INI files in a private temp directory.
#include "settings_fixture.h"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "base/ini_text.h"

class SettingsFile : public CSettingsTree {};

namespace {

bool RealPath(const std::string& strPath, std::string& strReal)
{
    char* pszReal = realpath(strPath.c_str(), nullptr);
    if (pszReal == nullptr)
        return false;
    strReal = pszReal;
    std::free(pszReal);
    return true;
}

std::string LexicalParent(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == 0 || nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash);
}

}  // namespace

TEST_F(SettingsFile, MissingFileGivesDefaultsAndReadsCreateNothing)
{
    EXPECT_STREQ(SETTINGS_DEFAULT_WIRESHARK, "wireshark");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 11);
    std::vector<char> vecOut(SETTINGS_VALUE_SIZE, 'x');
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, vecOut.data()), 9);
    EXPECT_STREQ(vecOut.data(), "wireshark");
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", nullptr, vecOut.data()), 0);
    EXPECT_STREQ(vecOut.data(), "");
    EXPECT_TRUE(ListDir(m_strApp).empty());
    EXPECT_FALSE(PathExists(m_strXdg));
}

TEST_F(SettingsFile, WritesCreateTheFileAndReadBack)
{
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 26), 1);
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nChannel=26\n");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 26);

    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 7), 1);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/opt/wire shark/bin/wireshark"), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 15), 1);
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nChannel=15\nComPort=7\nWireshark=/opt/wire shark/bin/wireshark\n");

    char szOut[SETTINGS_VALUE_SIZE];
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "wireshark", szOut), 29);
    EXPECT_STREQ(szOut, "/opt/wire shark/bin/wireshark");
    for (const int32_t nValue : {0, -1, INT32_MAX, INT32_MIN, 255}) {
        EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", nValue), 1);
        EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), nValue);
    }
    // An empty string is a stored value, not a missing one; as an integer it reads as the default.
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", ""), 1);
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "wireshark", szOut), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Wireshark", 5), 5);
    // The new file got the usual permissions, not a temporary file's private ones.
    struct stat st;
    ASSERT_EQ(stat(Ini().c_str(), &st), 0);
    const mode_t nMask = umask(022);
    umask(nMask);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~nMask);
    EXPECT_EQ(ListDir(m_strApp), std::set<std::string>{"Quillmark.ini"});
}

TEST_F(SettingsFile, SectionIndexSelectsTheSection)
{
    char szName[64];
    const std::pair<int32_t, const char*> names[] = {
        {4, "Config_4"}, {0, "Config_0"}, {-1, "Config_-1"}, {INT32_MIN, "Config_-2147483648"},
        {5, "Config"}, {255, "Config"}, {INT32_MAX, "Config"}};
    for (const auto& [nIndex, pszName] : names) {
        SettingsSectionName(nIndex, szName);
        EXPECT_STREQ(szName, pszName) << nIndex;
    }

    EXPECT_EQ(WriteSettingInt(4, "K", 4), 1);
    EXPECT_EQ(WriteSettingInt(-1, "K", -1), 1);
    EXPECT_EQ(WriteSettingInt(5, "K", 5), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "K", 255), 1);
    EXPECT_EQ(ReadBytes(Ini()), "[Config_4]\nK=4\n[Config_-1]\nK=-1\n[Config]\nK=255\n");
    EXPECT_EQ(ReadSettingInt(4, "K", 0), 4);
    EXPECT_EQ(ReadSettingInt(-1, "K", 0), -1);
    EXPECT_EQ(ReadSettingInt(5, "K", 0), 255);
    EXPECT_EQ(ReadSettingInt(3, "K", 77), 77);
}

TEST_F(SettingsFile, HandWrittenFileKeepsItsOtherLines)
{
    const std::string strHead =
        "; Quillmark settings, edited by hand\n"
        "\n"
        "[Display]\n"
        "Channel=99\n"
        "Font = Mono 10   \n"
        "\n"
        "[config]\n"
        "   channel   =  12   \n"
        "  comport=3\n";
    const std::string strTail =
        "\n"
        "# trailing notes\n"
        "[Other]\n"
        "Wireshark=/not/this/one";   // no final line ending
    WriteBytes(Ini(), strHead + strTail);

    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 12);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 3);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 20), 1);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/usr/bin/wireshark"), 1);
    EXPECT_EQ(ReadBytes(Ini()),
              "; Quillmark settings, edited by hand\n"
              "\n"
              "[Display]\n"
              "Channel=99\n"
              "Font = Mono 10   \n"
              "\n"
              "[config]\n"
              "   channel   =  20\n"
              "  comport=3\n"
              "Wireshark=/usr/bin/wireshark\n"
              + strTail);
    char szOut[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "WIRESHARK", "", szOut);
    EXPECT_STREQ(szOut, "/usr/bin/wireshark");
    EXPECT_EQ(ListDir(m_strApp), std::set<std::string>{"Quillmark.ini"});
}

TEST_F(SettingsFile, CrlfFileKeepsItsLineEndings)
{
    WriteBytes(Ini(), "[Config]\r\nComPort=7\r\n; note\r\n\r\n[Other]\r\nX=1\r\n");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 7);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 9), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 1);
    EXPECT_EQ(WriteSettingInt(3, "A", 1), 1);
    EXPECT_EQ(ReadBytes(Ini()),
              "[Config]\r\nComPort=9\r\nChannel=12\r\n; note\r\n\r\n[Other]\r\nX=1\r\n[Config_3]\r\nA=1\r\n");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 12);
}

TEST_F(SettingsFile, IntegersAndQuotedValues)
{
    WriteBytes(Ini(),
               "[Config]\n"
               "A=  42abc\n"
               "B=-7\n"
               "C=+3\n"
               "D=abc\n"
               "E=\n"
               "F=\"12\"\n"
               "G=\"C:\\Program Files\\Wireshark\\Wireshark.exe\"\n");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "A", 5), 42);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "B", 5), -7);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "C", 5), 3);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "D", 5), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "E", 5), 5);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "F", 5), 12);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Missing", 5), 5);
    char szOut[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "G", "", szOut);
    EXPECT_STREQ(szOut, "C:\\Program Files\\Wireshark\\Wireshark.exe");
}

TEST_F(SettingsFile, LongValuesAreCutTo255OnRead)
{
    std::string strLong;
    for (int i = 0; i < 300; ++i)
        strLong += static_cast<char>('a' + i % 26);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strLong.c_str()), 1);
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nWireshark=" + strLong + "\n");   // stored whole

    // Exactly SETTINGS_VALUE_SIZE bytes on the heap: a write past it is caught by ASan.
    std::vector<char> vecOut(SETTINGS_VALUE_SIZE);
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", vecOut.data()), 255);
    EXPECT_EQ(std::string(vecOut.data()), strLong.substr(0, 255));
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Missing", strLong.c_str(), vecOut.data()), 255);
    EXPECT_EQ(std::string(vecOut.data()), strLong.substr(0, 255));
    const std::string strOneOver(256, 'y');
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strOneOver.c_str()), 1);
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", vecOut.data()), 255);
    EXPECT_EQ(std::string(vecOut.data()), strOneOver.substr(0, 255));
    const std::string strExact(255, 'z');
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strExact.c_str()), 1);
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", vecOut.data()), 255);
    EXPECT_EQ(std::string(vecOut.data()), strExact);
}

TEST_F(SettingsFile, CallerCanTellACutValueFromAWholeOne)
{
    std::vector<char> vecOut(SETTINGS_VALUE_SIZE);
    size_t nWhole = 1;
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "wireshark", vecOut.data(), &nWhole), 9);
    EXPECT_EQ(nWhole, 9u);   // the default, whole

    for (size_t nLen : { size_t(255), size_t(256), size_t(300) }) {
        const std::string strValue(nLen, 'p');
        ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strValue.c_str()), 1);
        const std::string strFile = ReadBytes(Ini());
        nWhole = 0;
        EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", vecOut.data(), &nWhole), 255);
        EXPECT_EQ(nWhole, nLen);
        EXPECT_EQ(ReadBytes(Ini()), strFile);   // reading leaves the file as it is
    }
    // A default that does not fit is told the same way; so is a missing buffer.
    const std::string strLongDefault(400, 'd');
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Missing", strLongDefault.c_str(), vecOut.data(), &nWhole), 255);
    EXPECT_EQ(nWhole, 400u);
    nWhole = 7;
    EXPECT_EQ(ReadSettingString(SETTINGS_INDEX, "Wireshark", "", nullptr, &nWhole), 0);
    EXPECT_EQ(nWhole, 0u);
}

TEST_F(SettingsFile, FileIsReadAfreshEveryTime)
{
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 7), 1);
    WriteBytes(Ini(), "[Config]\nComPort=9\n");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 9);
    ASSERT_EQ(unlink(Ini().c_str()), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
}

TEST_F(SettingsFile, RemovingAKey)
{
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", nullptr), 1);
    EXPECT_FALSE(PathExists(Ini()));   // nothing to remove: no file comes into being
    WriteBytes(Ini(), "[Config]\nComPort=7\nWireshark=/x\n");
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "wireshark", nullptr), 1);
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nComPort=7\n");
}

TEST_F(SettingsFile, ValuesThatWouldCorruptTheFileAreRefused)
{
    const std::string strBefore = "[Config]\nComPort=7\n";
    WriteBytes(Ini(), strBefore);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/x\n[Config]\nComPort=99"), 0);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "a\x1b" "b"), 0);
    EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Com=Port", "1"), 0);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, nullptr, 1), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, nullptr, 4), 4);
    EXPECT_EQ(ReadBytes(Ini()), strBefore);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 7);
}

// What the user keeps at the path, if it is not an INI text we can read
// whole, is never changed: reads give defaults, writes fail.
TEST_F(SettingsFile, FilesThatAreNotOursAreNeverModified)
{
    std::string strBinary("[Config]\nComPort=7\n", 19);
    for (int i = 0; i < 512; ++i)
        strBinary += static_cast<char>((i * 37 + 11) & 0xFF);   // includes NUL and control bytes
    const std::string strUtf16("\xFF\xFE[\0C\0o\0n\0f\0i\0g\0]\0\r\0\n\0", 22);
    const std::string strOversized = "[Config]\nComPort=7\n" + std::string(INI_TEXT_MAX, ';');

    for (const std::string& strContent : {strBinary, strUtf16, strOversized}) {
        WriteBytes(Ini(), strContent, 0640);
        struct stat stBefore;
        ASSERT_EQ(stat(Ini().c_str(), &stBefore), 0);
        EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
        char szOut[SETTINGS_VALUE_SIZE];
        ReadSettingString(SETTINGS_INDEX, "Wireshark", "wireshark", szOut);
        EXPECT_STREQ(szOut, "wireshark");
        EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 5), 0);
        EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/x"), 0);
        EXPECT_EQ(ReadBytes(Ini()) == strContent, true) << "file changed";
        struct stat stAfter;
        ASSERT_EQ(stat(Ini().c_str(), &stAfter), 0);
        EXPECT_EQ(stAfter.st_ino, stBefore.st_ino);
        EXPECT_EQ(stAfter.st_mode, stBefore.st_mode);
        EXPECT_EQ(ListDir(m_strApp), std::set<std::string>{"Quillmark.ini"});
    }
}

TEST_F(SettingsFile, FifosDirectoriesAndDanglingLinksAreLeftAlone)
{
    // A FIFO: a read must not hang waiting for a writer.
    ASSERT_EQ(mkfifo(Ini().c_str(), 0600), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 5), 0);
    struct stat st;
    ASSERT_EQ(lstat(Ini().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(unlink(Ini().c_str()), 0);

    ASSERT_EQ(mkdir(Ini().c_str(), 0755), 0);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 5), 0);
    ASSERT_EQ(lstat(Ini().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(rmdir(Ini().c_str()), 0);

    // Neither is the reason known: the store does not make one up.
    EXPECT_EQ(GetLastSettingsWriteError(), "");

    // A dangling link, wherever it points: the write does not invent the file
    // it names, and says where that is (resolved as far as it exists).
    std::string strRealRoot;
    ASSERT_TRUE(RealPath(m_strRoot, strRealRoot));
    const struct {
        std::string m_strLink;   // what the link holds
        std::string m_strWhy;    // the reason after "is a link to "
    } dangling[] = {
        {m_strRoot + "/elsewhere.ini", strRealRoot + "/elsewhere.ini, outside " + m_strApp},
        {"../no-dir/../../x.ini", LexicalParent(m_strRoot) + "/x.ini, outside " + m_strApp},
        {"gone.ini", strRealRoot + "/app/gone.ini, which does not exist"},
    };
    for (const auto& d : dangling) {
        ASSERT_EQ(symlink(d.m_strLink.c_str(), Ini().c_str()), 0);
        EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 1), 1);
        EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 5), 0) << d.m_strLink;
        EXPECT_EQ(GetLastSettingsWriteError(), "Settings not saved: Quillmark.ini is a link to " + d.m_strWhy);
        EXPECT_EQ(ListDir(m_strRoot), (std::set<std::string>{"app"})) << d.m_strLink;
        EXPECT_EQ(ListDir(m_strApp), std::set<std::string>{"Quillmark.ini"});
        ASSERT_EQ(lstat(Ini().c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(unlink(Ini().c_str()), 0);
    }
}

TEST_F(SettingsFile, UnreadableFileIsNotReplaced)
{
    const std::string strContent = "[Config]\nComPort=7\n";
    WriteBytes(Ini(), strContent, 0200);   // write-only: its content cannot be kept
    const std::string strIni = Ini();
    const std::string strReport = RunUnprivileged(m_strRoot, [&]() -> std::string {
        if (ReadSettingInt(SETTINGS_INDEX, "ComPort", 1) != 1)
            return "an unreadable file did not read as the default";
        if (WriteSettingInt(SETTINGS_INDEX, "Channel", 20) != 0)
            return "a write replaced a file it could not read";
        return "";
    });
    if (strReport == "SKIP")
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(strReport, "");
    chmod(strIni.c_str(), 0600);
    EXPECT_EQ(ReadBytes(strIni), strContent);
}

TEST_F(SettingsFile, ReplacementIsAtomicAndKeepsModeAndLinks)
{
    WriteBytes(Ini(), "[Config]\nComPort=7\n", 0640);
    // A reader holding the old file still sees all of it: the file is replaced, not rewritten.
    const int hOld = open(Ini().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(hOld, 0);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 8), 1);
    char buf[64] = {};
    EXPECT_EQ(pread(hOld, buf, sizeof(buf) - 1, 0), 19);
    EXPECT_STREQ(buf, "[Config]\nComPort=7\n");
    close(hOld);
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nComPort=8\n");
    struct stat st;
    ASSERT_EQ(stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ListDir(m_strApp), std::set<std::string>{"Quillmark.ini"});

    // Storing what is already there leaves the file as it is.
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 8), 1);
    struct stat stSame;
    ASSERT_EQ(stat(Ini().c_str(), &stSame), 0);
    EXPECT_EQ(stSame.st_ino, st.st_ino);

    // A link to a file in a folder below the settings folder keeps pointing
    // at it, and that file gets the new text.
    const std::string strRealDir = m_strApp + "/real";
    ASSERT_EQ(mkdir(strRealDir.c_str(), 0755), 0);
    const std::string strReal = strRealDir + "/shared.ini";
    WriteBytes(strReal, "[Config]\r\nChannel=11\r\n", 0600);
    ASSERT_EQ(unlink(Ini().c_str()), 0);
    ASSERT_EQ(symlink(strReal.c_str(), Ini().c_str()), 0);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 25), 1);
    ASSERT_EQ(lstat(Ini().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadBytes(strReal), "[Config]\r\nChannel=25\r\n");
    ASSERT_EQ(stat(strReal.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ListDir(strRealDir), std::set<std::string>{"shared.ini"});
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 25);
}

// Quillmark.ini linked out of the settings folder (to a system file, say) is
// read through as before but never written: every write fails, the file it
// leads to keeps its bytes, and the reason names both places. Relative links
// and chains of links are followed to their end before deciding.
TEST_F(SettingsFile, LinksOutOfTheFolderAreReadButNeverWritten)
{
    const std::string strOutDir = m_strRoot + "/etc";
    ASSERT_EQ(mkdir(strOutDir.c_str(), 0755), 0);
    const std::string strOut = strOutDir + "/passwd";
    const std::string strContent = "root:x:0:0:root:/root:/bin/bash\n[Config]\nChannel=20\n";
    WriteBytes(strOut, strContent, 0644);
    std::string strRealOut;
    ASSERT_TRUE(RealPath(strOut, strRealOut));
    struct stat stBefore;
    ASSERT_EQ(stat(strOut.c_str(), &stBefore), 0);
    const std::string strWhy = "Settings not saved: Quillmark.ini is a link to " + strRealOut + ", outside " + m_strApp;

    const std::string strHop = m_strApp + "/hop.ini";   // a link in the folder leading out
    ASSERT_EQ(symlink("../etc/passwd", strHop.c_str()), 0);
    for (const std::string& strLink : {strOut, std::string("../etc/passwd"), std::string("hop.ini")}) {
        ASSERT_EQ(symlink(strLink.c_str(), Ini().c_str()), 0);
        EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", 11), 20) << strLink;
        EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 0) << strLink;
        EXPECT_EQ(GetLastSettingsWriteError(), strWhy);
        EXPECT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/x"), 0);
        EXPECT_EQ(GetLastSettingsWriteError(), strWhy);
        // Even a value already stored there: the refusal does not depend on the content.
        EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 20), 0);
        EXPECT_EQ(ReadBytes(strOut), strContent);
        struct stat stAfter;
        ASSERT_EQ(stat(strOut.c_str(), &stAfter), 0);
        EXPECT_EQ(stAfter.st_ino, stBefore.st_ino);
        EXPECT_EQ(stAfter.st_mtim.tv_nsec, stBefore.st_mtim.tv_nsec);
        EXPECT_EQ(stAfter.st_mtim.tv_sec, stBefore.st_mtim.tv_sec);
        EXPECT_EQ(ListDir(strOutDir), std::set<std::string>{"passwd"});
        EXPECT_EQ(ListDir(m_strApp), (std::set<std::string>{"Quillmark.ini", "hop.ini"}));
        ASSERT_EQ(unlink(Ini().c_str()), 0);
    }

    // A link to a sibling in the folder is written through; a write that
    // succeeds leaves no reason behind.
    const std::string strSibling = m_strApp + "/shared.ini";
    WriteBytes(strSibling, "[Config]\nChannel=11\n", 0600);
    ASSERT_EQ(symlink("shared.ini", Ini().c_str()), 0);
    EXPECT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 12), 1);
    EXPECT_EQ(GetLastSettingsWriteError(), "");
    EXPECT_EQ(ReadBytes(strSibling), "[Config]\nChannel=12\n");
    struct stat st;
    ASSERT_EQ(lstat(Ini().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(strSibling.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A folder the user may not write to: the write fails and says why.
TEST_F(SettingsFile, FolderClosedToTheUserIsTold)
{
    WriteBytes(Ini(), "[Config]\nChannel=11\n", 0644);
    const std::string strApp = m_strApp;
    const std::string strReport = RunUnprivileged(m_strRoot, [&]() -> std::string {
        if (chmod(strApp.c_str(), 0555) != 0)
            return "chmod failed";
        if (WriteSettingInt(SETTINGS_INDEX, "Channel", 20) != 0)
            return "a write succeeded in a folder closed to the user";
        const std::string strWhy = GetLastSettingsWriteError();
        if (strWhy != "Settings not saved: " + strApp + " is not writable: " + std::strerror(EACCES))
            return "reason: " + strWhy;
        return "";
    });
    if (strReport == "SKIP")
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(strReport, "");
    EXPECT_EQ(ReadBytes(Ini()), "[Config]\nChannel=11\n");
}
