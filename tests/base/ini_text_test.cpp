// The INI text layer on its own: what a lookup finds, what an edit changes
// (exact bytes), and what it refuses.
#include "base/ini_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

static std::string Find(const std::string& strText, const char* pszSection, const char* pszKey)
{
    std::string strValue;
    if (!IniFindValue(strText, pszSection, pszKey, strValue))
        return "<missing>";
    return strValue;
}

static std::string Set(std::string strText, const char* pszSection, const char* pszKey, const char* pszValue)
{
    EXPECT_TRUE(IniSetValue(strText, pszSection, pszKey, pszValue)) << pszKey;
    return strText;
}

TEST(IniLookup, NamesIgnoreCaseAndValuesAreTrimmed)
{
    const std::string strText =
        "[config]\n"
        "  COMPORT  =   7  \n"
        "channel\t=\t15\t\n"
        "Wireshark= /opt/wire shark/bin/wireshark \n";
    EXPECT_EQ(Find(strText, "Config", "ComPort"), "7");
    EXPECT_EQ(Find(strText, "CONFIG", "Channel"), "15");
    EXPECT_EQ(Find(strText, "Config", "wireshark"), "/opt/wire shark/bin/wireshark");
    EXPECT_EQ(Find(strText, "Config", "Com"), "<missing>");
    EXPECT_EQ(Find(strText, "Conf", "ComPort"), "<missing>");
    EXPECT_EQ(Find(strText, "Config_1", "ComPort"), "<missing>");
}

TEST(IniLookup, LineStructure)
{
    const std::string strText =
        "ComPort=99\n"                 // before any section: belongs to none
        "[Other]\n"
        "ComPort=5\n"
        "[ Config ]   trailing words\n"
        "; ComPort=3\n"
        "# Channel=12\n"
        "Channel\n"                    // no '=': not a key
        "[Config\n"                    // unclosed header: not a section line
        "Channel=13\n"
        "Path=a=b=c\n"
        "Quoted=\"  spaced  \"\n"
        "Single='x'\n"
        "Unbalanced=\"x'\n"
        "Lone=\"\n"
        "Empty=\n"
        "[config]\n"
        "ComPort=8\n"                  // second Config section: found when the first lacks it
        "Channel=14\n";                // ... but the first one's key wins
    EXPECT_EQ(Find(strText, "Config", "ComPort"), "8");
    EXPECT_EQ(Find(strText, "Other", "ComPort"), "5");
    EXPECT_EQ(Find(strText, "Config", "Channel"), "13");
    EXPECT_EQ(Find(strText, "Config", "Path"), "a=b=c");
    EXPECT_EQ(Find(strText, "Config", "Quoted"), "  spaced  ");
    EXPECT_EQ(Find(strText, "Config", "Single"), "x");
    EXPECT_EQ(Find(strText, "Config", "Unbalanced"), "\"x'");
    EXPECT_EQ(Find(strText, "Config", "Lone"), "\"");
    EXPECT_EQ(Find(strText, "Config", "Empty"), "");
    EXPECT_EQ(Find(strText, "Config", "; ComPort"), "<missing>");
}

TEST(IniLookup, LineEndingsAndByteOrderMark)
{
    EXPECT_EQ(Find("[Config]\r\nComPort=7\r\nChannel=20\r\n", "Config", "ComPort"), "7");
    EXPECT_EQ(Find("[Config]\r\nComPort=7\r\nChannel=20\r\n", "Config", "Channel"), "20");
    EXPECT_EQ(Find("[Config]\r\nChannel=20", "Config", "Channel"), "20");      // no final line ending
    EXPECT_EQ(Find("[Config]\nChannel=21\r", "Config", "Channel"), "21");
    EXPECT_EQ(Find("\xEF\xBB\xBF[Config]\nChannel=22\n", "Config", "Channel"), "22");
    EXPECT_EQ(Find("", "Config", "Channel"), "<missing>");
    EXPECT_EQ(Find("\n\n\r\n", "Config", "Channel"), "<missing>");
}

TEST(IniEdit, ReplaceKeepsEveryOtherByte)
{
    const std::string strBefore =
        "; Quillmark settings\n"
        "\n"
        "[Other]\n"
        "Channel=1\n"
        "[Config]\n"
        "  channel =  15   \n"
        "ComPort=3\n"
        "\n"
        "# end\n";
    EXPECT_EQ(Set(strBefore, "Config", "Channel", "26"),
              "; Quillmark settings\n"
              "\n"
              "[Other]\n"
              "Channel=1\n"
              "[Config]\n"
              "  channel =  26\n"
              "ComPort=3\n"
              "\n"
              "# end\n");
    EXPECT_EQ(Set("[Config]\nChannel=\nX=1\n", "Config", "Channel", "12"), "[Config]\nChannel=12\nX=1\n");
    EXPECT_EQ(Set("[Config]\nChannel=11", "Config", "Channel", "12"), "[Config]\nChannel=12");
    EXPECT_EQ(Set("[Config]\nA=1\nA=2\n", "Config", "a", "3"), "[Config]\nA=3\nA=2\n");
    EXPECT_EQ(Set("[Config]\nA=1\n", "Config", "A", ""), "[Config]\nA=\n");
}

TEST(IniEdit, NewKeyGoesAfterTheSectionsLastKey)
{
    EXPECT_EQ(Set("[Config]\nComPort=7\n\n; next one\n[Other]\nX=1\n", "Config", "Channel", "15"),
              "[Config]\nComPort=7\nChannel=15\n\n; next one\n[Other]\nX=1\n");
    EXPECT_EQ(Set("[Config]\n; nothing yet\n\n[Other]\n", "Config", "Channel", "15"),
              "[Config]\nChannel=15\n; nothing yet\n\n[Other]\n");
    EXPECT_EQ(Set("[Config]\nComPort=7", "Config", "Channel", "15"), "[Config]\nComPort=7\nChannel=15\n");
    EXPECT_EQ(Set("[Config]", "Config", "Channel", "15"), "[Config]\nChannel=15\n");
    // A repeated section: the key joins the first one.
    EXPECT_EQ(Set("[Config]\nA=1\n[Config]\nB=2\n", "Config", "C", "3"), "[Config]\nA=1\nC=3\n[Config]\nB=2\n");
}

TEST(IniEdit, NewSectionIsAppended)
{
    EXPECT_EQ(Set("", "Config", "Channel", "26"), "[Config]\nChannel=26\n");
    EXPECT_EQ(Set("[Other]\nX=1\n", "Config", "Channel", "26"), "[Other]\nX=1\n[Config]\nChannel=26\n");
    EXPECT_EQ(Set("[Other]\nX=1", "Config", "Channel", "26"), "[Other]\nX=1\n[Config]\nChannel=26\n");
    EXPECT_EQ(Set("; only a comment\n", "Config_4", "A", "b"), "; only a comment\n[Config_4]\nA=b\n");
}

TEST(IniEdit, CrlfTextsGetCrlfLines)
{
    EXPECT_EQ(Set("[Config]\r\nComPort=7\r\n", "Config", "ComPort", "9"), "[Config]\r\nComPort=9\r\n");
    EXPECT_EQ(Set("[Config]\r\nComPort=7\r\n", "Config", "Channel", "15"),
              "[Config]\r\nComPort=7\r\nChannel=15\r\n");
    EXPECT_EQ(Set("[Config]\r\nComPort=7", "Config", "Channel", "15"),
              "[Config]\r\nComPort=7\r\nChannel=15\r\n");
    EXPECT_EQ(Set("; x\r\n", "Config", "Channel", "15"), "; x\r\n[Config]\r\nChannel=15\r\n");
    EXPECT_EQ(Set("\xEF\xBB\xBF[Config]\r\nA=1\r\n", "config", "A", "2"), "\xEF\xBB\xBF[Config]\r\nA=2\r\n");
}

TEST(IniEdit, RemoveKey)
{
    EXPECT_EQ(Set("[Config]\nA=1\nB=2\n", "Config", "a", nullptr), "[Config]\nB=2\n");
    EXPECT_EQ(Set("[Config]\nA=1\nB=2", "Config", "B", nullptr), "[Config]\nA=1\n");
    EXPECT_EQ(Set("[Config]\nA=1\n", "Config", "C", nullptr), "[Config]\nA=1\n");
    EXPECT_EQ(Set("", "Config", "C", nullptr), "");
}

// Input that would come back as something else, or would break the file
// for every later read, is refused and the text left alone.
TEST(IniEdit, RefusesWhatCouldNotBeReadBack)
{
    const std::string strBefore = "[Config]\nComPort=7\n";
    struct CCase { const char* pszSection; const char* pszKey; const char* pszValue; };
    const CCase cases[] = {
        {"Config", "ComPort", "8\n[Config]\nComPort=1"},   // a value that injects lines
        {"Config", "ComPort", "8\r"},
        {"Config", "ComPort", "a\x01" "b"},                 // would make the file binary
        {"Config", "Com=Port", "1"},
        {"Config", "", "1"},
        {"Config", nullptr, "1"},
        {"Config", " ComPort", "1"},
        {"Config", "ComPort\t", "1"},
        {"Config", ";ComPort", "1"},
        {"Config", "#ComPort", "1"},
        {"Config", "[ComPort", "1"},
        {"Config", "Com\nPort", "1"},
        {"Con]fig", "ComPort", "1"},
        {"", "ComPort", "1"},
        {nullptr, "ComPort", "1"},
        {"Config\n[x", "ComPort", "1"},
        {" Config", "ComPort", "1"},
    };
    for (const CCase& c : cases) {
        std::string strText = strBefore;
        EXPECT_FALSE(IniSetValue(strText, c.pszSection, c.pszKey, c.pszValue))
            << (c.pszSection ? c.pszSection : "null") << " / " << (c.pszKey ? c.pszKey : "null");
        EXPECT_EQ(strText, strBefore);
    }
    std::string strText = strBefore;
    const std::string strHuge(INI_TEXT_MAX, 'x');
    EXPECT_FALSE(IniSetValue(strText, "Config", "Big", strHuge.c_str()));
    EXPECT_EQ(strText, strBefore);
}

TEST(IniText, BinaryAndOversizedInputIsNotText)
{
    const std::string strPlain = "[Config]\r\n\tComPort=7\v\f\n";
    EXPECT_TRUE(IniIsText(strPlain.data(), strPlain.size()));
    const std::string strHighBytes = "[Config]\nWireshark=C:\\Programme\\Gr\xFC\xC3\xA9n\\w.exe\n";
    EXPECT_TRUE(IniIsText(strHighBytes.data(), strHighBytes.size()));
    EXPECT_TRUE(IniIsText("", 0));

    const std::string strNul("[Config]\nComPort=7\0\n", 19);
    EXPECT_FALSE(IniIsText(strNul.data(), strNul.size()));
    const std::string strUtf16("\xFF\xFE[\0C\0]\0", 8);
    EXPECT_FALSE(IniIsText(strUtf16.data(), strUtf16.size()));
    EXPECT_FALSE(IniIsText("\x1b[1m", 4));
    EXPECT_FALSE(IniIsText("\x7f" "ELF\x02\x01", 6));

    const std::string strLimit(INI_TEXT_MAX, 'a');
    EXPECT_TRUE(IniIsText(strLimit.data(), strLimit.size()));
    const std::string strOver(INI_TEXT_MAX + 1, 'a');
    EXPECT_FALSE(IniIsText(strOver.data(), strOver.size()));
}

TEST(IniInt, ReadLikeThePlatformCall)
{
    struct CCase { const char* pszText; int32_t nExpected; };
    const CCase cases[] = {
        {"42", 42}, {"42abc", 42}, {"-7", -7}, {"+3", 3}, {"abc", 0}, {"", -99},
        {"-", 0}, {"+", 0}, {"--5", 0}, {"+-5", 0}, {"- 5", 0}, {"0x1F", 0}, {"007", 7},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"4294967297", 1},   // wraps modulo 2^32 as the platform does
        {"99999999999999999999", static_cast<int32_t>(UINT32_C(1661992959))},
    };
    for (const CCase& c : cases)
        EXPECT_EQ(IniParseInt(c.pszText, -99), c.nExpected) << '"' << c.pszText << '"';
}

// Random texts built from the line shapes found in hand-edited files: after
// any edit the value reads back and every line the edit did not aim at is
// still there, in order, byte for byte.
TEST(IniEdit, RandomTextsKeepTheirOtherLines)
{
    const char* const lines[] = {
        "[Config]", "[config]", "[Other]", "[ Config ]", "[Config_4]", "ComPort=7", "comport = 9",
        "Channel=15", "  Channel\t=\t12 ", "Wireshark=/usr/bin/wireshark", "; comment", "# Channel=3",
        "", "   ", "junk line", "[unclosed", "=novalue", "Key=\"quoted\"",
    };
    const char* const keys[] = {"ComPort", "Channel", "Wireshark", "New"};
    const char* const sections[] = {"Config", "Other", "Config_4", "Fresh"};
    const char* const values[] = {"1", "26", "C:\\x y\\w.exe", "", "a=b"};
    std::mt19937 rng(20240611u);
    for (int nRound = 0; nRound < 3000; ++nRound) {
        const bool bCrlf = rng() % 2 == 0;
        const char* pszEol = bCrlf ? "\r\n" : "\n";
        std::vector<std::string> vecLines;
        const int nLines = static_cast<int>(rng() % 10);
        std::string strText;
        for (int i = 0; i < nLines; ++i) {
            vecLines.push_back(lines[rng() % (sizeof(lines) / sizeof(lines[0]))]);
            strText += vecLines.back();
            if (i + 1 < nLines || rng() % 3 != 0)
                strText += pszEol;
        }
        const char* pszSection = sections[rng() % 4];
        const char* pszKey = keys[rng() % 4];
        const char* pszValue = values[rng() % 5];
        std::string strEdited = strText;
        ASSERT_TRUE(IniSetValue(strEdited, pszSection, pszKey, pszValue)) << strText;
        std::string strRead;
        ASSERT_TRUE(IniFindValue(strEdited, pszSection, pszKey, strRead)) << strEdited;
        EXPECT_EQ(strRead, pszValue) << strEdited;

        // The old lines must survive, in order and intact, all but the edited one.
        std::vector<std::string> vecAfter;
        size_t nPos = 0;
        while (nPos < strEdited.size()) {
            size_t nLf = strEdited.find('\n', nPos);
            if (nLf == std::string::npos)
                nLf = strEdited.size();
            std::string strLine = strEdited.substr(nPos, nLf - nPos);
            if (!strLine.empty() && strLine.back() == '\r')
                strLine.pop_back();
            else if (bCrlf && strText.find('\n') != std::string::npos && nLf < strEdited.size())
                ADD_FAILURE() << "a bare line feed in a CRLF text:\n" << strEdited;
            vecAfter.push_back(strLine);
            nPos = nLf + 1;
        }
        std::vector<std::vector<size_t>> lcs(vecLines.size() + 1, std::vector<size_t>(vecAfter.size() + 1, 0));
        for (size_t i = 1; i <= vecLines.size(); ++i) {
            for (size_t j = 1; j <= vecAfter.size(); ++j) {
                lcs[i][j] = vecLines[i - 1] == vecAfter[j - 1] ? lcs[i - 1][j - 1] + 1
                                                               : std::max(lcs[i - 1][j], lcs[i][j - 1]);
            }
        }
        EXPECT_GE(lcs[vecLines.size()][vecAfter.size()] + 1, vecLines.size())
            << "before:\n" << strText << "\nafter:\n" << strEdited;
        EXPECT_LE(vecAfter.size(), vecLines.size() + 2) << strEdited;
    }
}
