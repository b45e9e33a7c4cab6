#include "base/ini_file.h"

#include "base/ini_text.h"
#include "base/os_error.h"
#include "base/settings_os.h"

namespace {

// The file's text when it is INI text we may read (false otherwise; a
// missing file is empty text).
bool ReadIniText(const char* pszFile, std::string& strText)
{
    const int32_t nState = SettingsReadFile(pszFile, INI_TEXT_MAX, strText);
    if (nState == SETTINGS_FILE_MISSING) {
        strText.clear();
        return true;
    }
    return nState == SETTINGS_FILE_OK && IniIsText(strText.data(), strText.size());
}

std::string DirectoryOf(const std::string& strFile)
{
    const size_t nSep = strFile.find_last_of("/\\");
    return nSep == std::string::npos ? std::string(".") : strFile.substr(0, nSep);
}

}  // namespace

void IniFileGetString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszDefault,
                      std::string& strValue)
{
    std::string strText;
    if (ReadIniText(pszFile, strText) && IniFindValue(strText, pszSection, pszKey, strValue))
        return;
    strValue = pszDefault != nullptr ? pszDefault : "";
}

int32_t IniFileGetInt(const char* pszFile, const char* pszSection, const char* pszKey, int32_t nDefault)
{
    std::string strText;
    std::string strValue;
    if (!ReadIniText(pszFile, strText) || !IniFindValue(strText, pszSection, pszKey, strValue))
        return nDefault;
    return IniParseInt(strValue, nDefault);
}

// A file that exists but cannot be read whole, or is not INI text, is left
// exactly as it is: replacing it would destroy what it holds. So is a link
// that leads out of the file's folder, whatever it holds: it is refused before
// it is read.
bool IniFileWriteString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszValue,
                        std::string* pstrWhy)
{
    std::string strWhy;
    if (!SettingsWriteStaysInFolder(pszFile, strWhy)) {
        if (pstrWhy != nullptr)
            *pstrWhy = strWhy;
        return false;
    }
    std::string strText;
    if (!ReadIniText(pszFile, strText))
        return false;
    std::string strNew = strText;
    if (!IniSetValue(strNew, pszSection, pszKey, pszValue))
        return false;
    if (strNew == strText)
        return true;   // already stored, or nothing to remove: the file stays as it is (or absent)
    const std::string strDir = DirectoryOf(pszFile);
    if (!SettingsMakeDirs(strDir.c_str())) {
        if (pstrWhy != nullptr) {
            const COsError err = OsLastError();
            *pstrWhy = "Settings not saved: could not create " + strDir
                + (err.m_strText.empty() ? std::string() : ": " + err.m_strText);
        }
        return false;
    }
    return SettingsReplaceFile(pszFile, strNew, pstrWhy);
}
