// Arbitrary bytes as an INI file: lookups and edits must never crash or read
// out of bounds, and an accepted edit must read back while a refused one
// leaves the text alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/ini_text.h"

static const char* const s_pszSections[] = {"Config", "config", "Config_4", "Config_-1", "Other", "x"};
static const char* const s_pszKeys[] = {"ComPort", "channel", "Wireshark", "K", "a b", "["};
static const char* const s_pszValues[] = {"1", "", "26", "C:\\Program Files\\w.exe", "a=b", "[x]", " pad ",
                                          "\"q\"", "tab\tin", "line\nbreak"};

template <typename T, size_t N>
static const T& Pick(const T (&arr)[N], uint8_t bySel)
{
    return arr[bySel % N];
}

static bool ReadsBackAsWritten(const std::string& strValue)
{
    if (strValue.empty())
        return true;
    const char cFirst = strValue.front();
    const char cLast = strValue.back();
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    if (isBlank(cFirst) || isBlank(cLast))
        return false;
    return !(strValue.size() >= 2 && cFirst == cLast && (cFirst == '"' || cFirst == '\''));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 3)
        return 0;
    const uint8_t bySection = pData[0];
    const uint8_t byKey = pData[1];
    const uint8_t byValue = pData[2];
    const std::string strText(reinterpret_cast<const char*>(pData + 3), nSize - 3);
    const char* pszSection = Pick(s_pszSections, bySection);
    const char* pszKey = Pick(s_pszKeys, byKey);

    // Also use a value taken from the input itself (its first line, at most 40 bytes).
    // (what a C string can carry of it: up to the first NUL).
    const std::string strOwnValue = strText.substr(0, strText.find('\n')).substr(0, 40);
    const std::string strValue((byValue & 0x80) != 0 ? strOwnValue.c_str() : Pick(s_pszValues, byValue));

    const bool bText = IniIsText(strText.data(), strText.size());
    std::string strFound;
    if (IniFindValue(strText, pszSection, pszKey, strFound))
        (void)IniParseInt(strFound, 7);

    std::string strEdited = strText;
    const bool bSet = IniSetValue(strEdited, pszSection, pszKey, strValue.c_str());
    if (!bSet && strEdited != strText)
        std::abort();   // a refused edit changed the text
    if (bSet) {
        if (!IniFindValue(strEdited, pszSection, pszKey, strFound))
            std::abort();   // the value just set is not found
        if (ReadsBackAsWritten(strValue) && strFound != strValue)
            std::abort();
        if (bText && !IniIsText(strEdited.data(), strEdited.size()))
            std::abort();   // an edit turned a text into something we would refuse to touch
        if (strEdited.size() > INI_TEXT_MAX)
            std::abort();
    }

    std::string strRemoved = strEdited;
    if (!IniSetValue(strRemoved, pszSection, pszKey, nullptr))
        return 0;
    if (strRemoved.size() > strEdited.size())
        std::abort();   // removing never adds
    return 0;
}
