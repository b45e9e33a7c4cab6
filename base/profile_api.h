// The private-profile calls the settings store makes: one key of one section
// of one INI file per call, nothing cached. Each has its Win32 namesake; on
// Win32 it is that call (profile_win32.cpp), elsewhere the INI text layer
// (ini_file.h) gives the same results.
//
// Both halves keep what the store promises its callers: a file that is not
// INI text (IniIsText), cannot be read whole or is larger than INI_TEXT_MAX
// reads as missing and is never written into.
#pragma once

#include <cstdint>
#include <string>

// GetPrivateProfileStringA: the key's value, trimmed and without one pair of
// enclosing quotes, or pszDefault when the file, section or key is missing.
// The whole value, however long: the caller decides what does not fit.
void ProfileGetString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszDefault,
                      std::string& strValue);

// GetPrivateProfileIntA: an optional sign and the leading digits of the value
// (0 when there are none), nDefault when it is missing or empty.
int32_t ProfileGetInt(const char* pszFile, const char* pszSection, const char* pszKey, int32_t nDefault);

// WritePrivateProfileStringA: sets key=value in the section, creating the
// file's directory, the file, the section and the key as needed; pszValue
// nullptr removes the key. The caller has checked the names and the value
// (IniCanStore). false when the file was not changed as asked, with the
// reason in *pstrWhy when one is known (as SettingsReplaceFile gives it).
bool ProfileWriteString(const char* pszFile, const char* pszSection, const char* pszKey, const char* pszValue,
                        std::string* pstrWhy = nullptr);
