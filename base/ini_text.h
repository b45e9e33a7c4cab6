// INI text as the Windows private-profile calls see it, worked on in memory:
// look a value up, set or remove one while leaving every other byte alone.
//
// Lines end in "\n" or "\r\n". A section line is "[name]"; a key line is
// "name=value" inside a section; lines starting with ';' or '#' are comments;
// anything else is kept and ignored. Section and key names compare without
// regard to ASCII case. The first key line that matches wins, for reads and
// writes alike, even across repeated sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t INI_TEXT_MAX = 1024 * 1024;   // a larger file is not ours

// Whether the bytes can be INI text: at most INI_TEXT_MAX bytes and no NUL or
// other control byte besides tab, line feed, vertical tab, form feed and
// carriage return. Anything else (a binary file, UTF-16) is left untouched.
bool IniIsText(const char* pText, size_t nLen);

// The key's value, trimmed, without one pair of enclosing quotes ("..." or
// '...'). false when the section or the key is missing.
bool IniFindValue(const std::string& strText, const char* pszSection, const char* pszKey,
                  std::string& strValue);

// Sets key=value in the section, adding the key after the section's last key
// or the section at the end of the text as needed. pszValue nullptr removes
// the key line. New lines take the text's line ending ("\r\n" when its first
// line ends so, else "\n"). false, with the text unchanged, for names or
// values that could not be read back as written (empty names, line breaks,
// '=' or ']' in names, names with surrounding blanks or a comment lead).
bool IniSetValue(std::string& strText, const char* pszSection, const char* pszKey,
                 const char* pszValue);

// Whether IniSetValue would take these names and value: the same refusals,
// for writers that do not go through it (the Win32 profile calls write any
// text they are given, line breaks included).
bool IniCanStore(const char* pszSection, const char* pszKey, const char* pszValue);

// An integer read the way GetPrivateProfileIntA reads one: nDefault for an
// empty value, else an optional sign and the leading decimal digits (0 when
// there are none), wrapping modulo 2^32 like the platform call.
int32_t IniParseInt(const std::string& strValue, int32_t nDefault);
