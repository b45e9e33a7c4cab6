// The profile calls on POSIX: the INI text layer.
#include "base/profile_api.h"

#include "base/ini_file.h"

void ProfileGetString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszDefault,
                      std::string& strValue)
{
    IniFileGetString(pszFile, pszSection, pszKey, pszDefault, strValue);
}

int32_t ProfileGetInt(const char* pszFile, const char* pszSection, const char* pszKey, int32_t nDefault)
{
    return IniFileGetInt(pszFile, pszSection, pszKey, nDefault);
}

bool ProfileWriteString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszValue,
                        std::string* pstrWhy)
{
    return IniFileWriteString(pszFile, pszSection, pszKey, pszValue, pstrWhy);
}
