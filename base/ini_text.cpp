#include "base/ini_text.h"

#include <cstring>

namespace {

constexpr int32_t LINE_OTHER = 0;
constexpr int32_t LINE_BLANK = 1;
constexpr int32_t LINE_COMMENT = 2;
constexpr int32_t LINE_SECTION = 3;
constexpr int32_t LINE_KEY = 4;

const char UTF8_BOM[] = "\xEF\xBB\xBF";
constexpr size_t UTF8_BOM_LEN = 3;

struct CIniLine {
    size_t m_nStart = 0;       // first byte of the line
    size_t m_nEnd = 0;         // end of its content, line ending excluded
    size_t m_nNext = 0;        // first byte of the next line
    int32_t m_nKind = LINE_OTHER;
    size_t m_nNameBegin = 0;   // section or key name, trimmed
    size_t m_nNameEnd = 0;
    size_t m_nEq = 0;          // key lines: the '='
    size_t m_nValueBegin = 0;  // key lines: the value, trimmed
    size_t m_nValueEnd = 0;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool IsControl(unsigned char c)
{
    return c < 0x20 && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r';
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NameEquals(const std::string& strText, size_t nBegin, size_t nEnd, const char* pszName)
{
    const size_t nLen = std::strlen(pszName);
    if (nEnd - nBegin != nLen)
        return false;
    for (size_t i = 0; i < nLen; ++i) {
        if (LowerAscii(strText[nBegin + i]) != LowerAscii(pszName[i]))
            return false;
    }
    return true;
}

void Trim(const std::string& strText, size_t& nBegin, size_t& nEnd)
{
    while (nBegin < nEnd && IsBlank(strText[nBegin]))
        ++nBegin;
    while (nEnd > nBegin && IsBlank(strText[nEnd - 1]))
        --nEnd;
}

void Classify(const std::string& strText, CIniLine& line)
{
    size_t nBegin = line.m_nStart;
    size_t nEnd = line.m_nEnd;
    if (nBegin == 0 && nEnd >= UTF8_BOM_LEN && strText.compare(0, UTF8_BOM_LEN, UTF8_BOM) == 0)
        nBegin = UTF8_BOM_LEN;
    Trim(strText, nBegin, nEnd);
    line.m_nKind = LINE_OTHER;
    if (nBegin == nEnd) {
        line.m_nKind = LINE_BLANK;
        return;
    }
    const char cFirst = strText[nBegin];
    if (cFirst == ';' || cFirst == '#') {
        line.m_nKind = LINE_COMMENT;
        return;
    }
    if (cFirst == '[') {
        const size_t nClose = strText.find(']', nBegin + 1);
        if (nClose == std::string::npos || nClose >= nEnd)
            return;   // an unclosed header is not a section line
        line.m_nNameBegin = nBegin + 1;
        line.m_nNameEnd = nClose;
        Trim(strText, line.m_nNameBegin, line.m_nNameEnd);
        line.m_nKind = LINE_SECTION;
        return;
    }
    const size_t nEq = strText.find('=', nBegin);
    if (nEq == std::string::npos || nEq >= nEnd)
        return;
    line.m_nKind = LINE_KEY;
    line.m_nNameBegin = nBegin;
    line.m_nNameEnd = nEq;
    Trim(strText, line.m_nNameBegin, line.m_nNameEnd);
    line.m_nEq = nEq;
    line.m_nValueBegin = nEq + 1;
    line.m_nValueEnd = nEnd;
    Trim(strText, line.m_nValueBegin, line.m_nValueEnd);
}

bool NextLine(const std::string& strText, size_t& nPos, CIniLine& line)
{
    if (nPos >= strText.size())
        return false;
    line.m_nStart = nPos;
    const size_t nLf = strText.find('\n', nPos);
    if (nLf == std::string::npos) {
        line.m_nEnd = strText.size();
        line.m_nNext = strText.size();
    } else {
        line.m_nEnd = (nLf > nPos && strText[nLf - 1] == '\r') ? nLf - 1 : nLf;
        line.m_nNext = nLf + 1;
    }
    nPos = line.m_nNext;
    Classify(strText, line);
    return true;
}

// What one pass over the text finds for a section and key.
struct CIniMatch {
    bool m_bKey = false;        // the first matching key line, in any matching section
    CIniLine m_key;
    bool m_bSection = false;    // the first matching section exists
    CIniLine m_last;            // its last key line, else its header: new keys go after it
};

CIniMatch FindKeyLine(const std::string& strText, const char* pszSection, const char* pszKey)
{
    CIniMatch match;
    bool bInSection = false;
    bool bInFirst = false;
    size_t nPos = 0;
    CIniLine line;
    while (NextLine(strText, nPos, line)) {
        if (line.m_nKind == LINE_SECTION) {
            bInSection = NameEquals(strText, line.m_nNameBegin, line.m_nNameEnd, pszSection);
            bInFirst = bInSection && !match.m_bSection;
            if (bInFirst) {
                match.m_bSection = true;
                match.m_last = line;
            }
        } else if (line.m_nKind == LINE_KEY && bInSection) {
            if (bInFirst)
                match.m_last = line;
            if (!match.m_bKey && NameEquals(strText, line.m_nNameBegin, line.m_nNameEnd, pszKey)) {
                match.m_bKey = true;
                match.m_key = line;
            }
        }
    }
    return match;
}

bool HasControl(const char* psz)
{
    for (; *psz != '\0'; ++psz) {
        if (IsControl(static_cast<unsigned char>(*psz)) || *psz == '\n' || *psz == '\r'
            || *psz == '\v' || *psz == '\f')
            return true;
    }
    return false;
}

bool IsStorableName(const char* pszName, const char* pszForbidden)
{
    if (pszName == nullptr || pszName[0] == '\0' || HasControl(pszName))
        return false;
    if (std::strpbrk(pszName, pszForbidden) != nullptr)
        return false;
    const size_t nLen = std::strlen(pszName);
    return !IsBlank(pszName[0]) && !IsBlank(pszName[nLen - 1]);
}

const char* LineEnding(const std::string& strText)
{
    const size_t nLf = strText.find('\n');
    return (nLf != std::string::npos && nLf > 0 && strText[nLf - 1] == '\r') ? "\r\n" : "\n";
}

}  // namespace

bool IniIsText(const char* pText, size_t nLen)
{
    if (nLen > INI_TEXT_MAX)
        return false;
    for (size_t i = 0; i < nLen; ++i) {
        if (IsControl(static_cast<unsigned char>(pText[i])))
            return false;
    }
    return true;
}

bool IniFindValue(const std::string& strText, const char* pszSection, const char* pszKey,
                  std::string& strValue)
{
    if (pszSection == nullptr || pszKey == nullptr)
        return false;
    const CIniMatch match = FindKeyLine(strText, pszSection, pszKey);
    if (!match.m_bKey)
        return false;
    size_t nBegin = match.m_key.m_nValueBegin;
    size_t nEnd = match.m_key.m_nValueEnd;
    if (nEnd - nBegin >= 2 && strText[nBegin] == strText[nEnd - 1]
        && (strText[nBegin] == '"' || strText[nBegin] == '\'')) {
        ++nBegin;
        --nEnd;
    }
    strValue.assign(strText, nBegin, nEnd - nBegin);
    return true;
}

bool IniCanStore(const char* pszSection, const char* pszKey, const char* pszValue)
{
    if (!IsStorableName(pszSection, "]"))
        return false;
    if (!IsStorableName(pszKey, "=") || pszKey[0] == ';' || pszKey[0] == '#' || pszKey[0] == '[')
        return false;
    return pszValue == nullptr || !HasControl(pszValue);
}

bool IniSetValue(std::string& strText, const char* pszSection, const char* pszKey,
                 const char* pszValue)
{
    if (!IniCanStore(pszSection, pszKey, pszValue))
        return false;

    const CIniMatch match = FindKeyLine(strText, pszSection, pszKey);
    const char* pszEol = LineEnding(strText);
    std::string strNew;
    if (pszValue == nullptr) {
        if (!match.m_bKey)
            return true;
        strNew.assign(strText, 0, match.m_key.m_nStart);
        strNew.append(strText, match.m_key.m_nNext, std::string::npos);
    } else if (match.m_bKey) {
        // Keep the line's own spelling and spacing up to the value.
        const CIniLine& key = match.m_key;
        const size_t nKeep = key.m_nValueBegin < key.m_nValueEnd ? key.m_nValueBegin : key.m_nEq + 1;
        strNew.assign(strText, 0, nKeep);
        strNew.append(pszValue);
        strNew.append(strText, key.m_nEnd, std::string::npos);
    } else if (match.m_bSection) {
        const CIniLine& last = match.m_last;
        strNew.assign(strText, 0, last.m_nNext);
        if (last.m_nNext == last.m_nEnd)
            strNew.append(pszEol);   // the file's last line had no line ending
        strNew.append(pszKey).append("=").append(pszValue).append(pszEol);
        strNew.append(strText, last.m_nNext, std::string::npos);
    } else {
        strNew = strText;
        if (!strNew.empty() && strNew.back() != '\n')
            strNew.append(pszEol);
        strNew.append("[").append(pszSection).append("]").append(pszEol);
        strNew.append(pszKey).append("=").append(pszValue).append(pszEol);
    }
    if (strNew.size() > INI_TEXT_MAX)
        return false;
    strText.swap(strNew);
    return true;
}

int32_t IniParseInt(const std::string& strValue, int32_t nDefault)
{
    if (strValue.empty())
        return nDefault;
    size_t i = 0;
    bool bNegative = false;
    if (strValue[0] == '+' || strValue[0] == '-') {
        bNegative = strValue[0] == '-';
        i = 1;
    }
    uint32_t dwValue = 0;
    for (; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i)
        dwValue = dwValue * 10u + static_cast<uint32_t>(strValue[i] - '0');
    if (bNegative)
        dwValue = 0u - dwValue;
    return static_cast<int32_t>(dwValue);
}
