// The private-profile calls done on INI text: the file read whole, looked up
// or changed in memory (ini_text.h), and replaced whole and atomically
// (settings_os.h), keeping every line it does not change. The POSIX half of
// profile_api.h; portable, so that Windows builds can check it against the
// platform's own calls.
#pragma once

#include <cstdint>
#include <string>

void IniFileGetString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszDefault,
                      std::string& strValue);
int32_t IniFileGetInt(const char* pszFile, const char* pszSection, const char* pszKey, int32_t nDefault);
// false when the file was not changed as asked; *pstrWhy (when given) then
// receives the reason when one is known.
bool IniFileWriteString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszValue,
                        std::string* pstrWhy = nullptr);
