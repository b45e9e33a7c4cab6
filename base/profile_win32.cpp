// The profile calls on Win32: GetPrivateProfileStringA, GetPrivateProfileIntA
// and WritePrivateProfileStringA themselves. Before each, the file is looked
// at once, so that one that is not INI text (binary, UTF-16, too large) reads
// as missing and is never written into, as on every platform.
#include "base/profile_api.h"

#include <vector>

#include <windows.h>

#include "base/ini_text.h"
#include "base/os_error.h"
#include "base/settings.h"
#include "base/settings_os.h"

namespace {

constexpr int32_t FILE_IS_MISSING = 0;
constexpr int32_t FILE_IS_INI = 1;
constexpr int32_t FILE_IS_FOREIGN = 2;

int32_t LookAtFile(const char* pszFile)
{
    std::string strText;
    const int32_t nState = SettingsReadFile(pszFile, INI_TEXT_MAX, strText);
    if (nState == SETTINGS_FILE_MISSING)
        return FILE_IS_MISSING;
    return nState == SETTINGS_FILE_OK && IniIsText(strText.data(), strText.size()) ? FILE_IS_INI : FILE_IS_FOREIGN;
}

std::string DirectoryOf(const std::string& strFile)
{
    const size_t nSep = strFile.find_last_of("/\\");
    return nSep == std::string::npos ? std::string(".") : strFile.substr(0, nSep);
}

std::string ErrorText()
{
    const COsError err = OsLastError();
    return err.m_strText.empty() ? std::string() : ": " + err.m_strText;
}

}  // namespace

// The call cuts a value to its buffer and then returns the buffer's size less
// one: a value that fills the buffer is asked for again with twice the room,
// so that the caller sees it whole and can refuse it rather than use a cut one.
void ProfileGetString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszDefault,
                      std::string& strValue)
{
    const char* pszDef = pszDefault != nullptr ? pszDefault : "";
    if (LookAtFile(pszFile) == FILE_IS_FOREIGN) {
        strValue = pszDef;
        return;
    }
    std::vector<char> vecBuf(SETTINGS_VALUE_SIZE);
    for (;;) {
        const DWORD dwLen = GetPrivateProfileStringA(pszSection, pszKey, pszDef, vecBuf.data(),
                                                     static_cast<DWORD>(vecBuf.size()), pszFile);
        if (dwLen + 1 < vecBuf.size() || vecBuf.size() > INI_TEXT_MAX) {
            strValue.assign(vecBuf.data(), dwLen);
            return;
        }
        vecBuf.resize(vecBuf.size() * 2);
    }
}

int32_t ProfileGetInt(const char* pszFile, const char* pszSection, const char* pszKey, int32_t nDefault)
{
    if (LookAtFile(pszFile) == FILE_IS_FOREIGN)
        return nDefault;
    // The call returns the value's 32 bits unsigned; negative ones come back as written.
    return static_cast<int32_t>(GetPrivateProfileIntA(pszSection, pszKey, nDefault, pszFile));
}

// A symbolic link (or other reparse point) that leads out of the file's
// folder is refused before anything else, as on every platform: the call
// would write through it.
bool ProfileWriteString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszValue,
                        std::string* pstrWhy)
{
    std::string strWhy;
    if (!SettingsWriteStaysInFolder(pszFile, strWhy)) {
        if (pstrWhy != nullptr)
            *pstrWhy = strWhy;
        return false;
    }
    const int32_t nFile = LookAtFile(pszFile);
    if (nFile == FILE_IS_FOREIGN)
        return false;
    // A read-only file is refused as Windows refuses it, also where the
    // attribute alone would not stop the call (Wine run by root).
    const DWORD dwAttr = GetFileAttributesA(pszFile);
    if (nFile == FILE_IS_INI && (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_READONLY) != 0)) {
        if (pstrWhy != nullptr)
            *pstrWhy = std::string("Settings not saved: ") + pszFile + " is read-only";
        return false;
    }
    if (nFile == FILE_IS_MISSING) {
        if (pszValue == nullptr)
            return true;   // nothing to remove: no file comes into being
        // The call creates the file, not its folder (the per-user one is new on first use).
        const std::string strDir = DirectoryOf(pszFile);
        if (!SettingsMakeDirs(strDir.c_str())) {
            if (pstrWhy != nullptr)
                *pstrWhy = "Settings not saved: could not create " + strDir + ErrorText();
            return false;
        }
    }
    if (WritePrivateProfileStringA(pszSection, pszKey, pszValue, pszFile) != FALSE)
        return true;
    if (pstrWhy != nullptr)
        *pstrWhy = std::string("Settings not saved: could not write ") + pszFile + ErrorText();
    return false;
}
