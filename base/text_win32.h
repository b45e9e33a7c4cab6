// UTF-8 (the model's text) to and from UTF-16 (the W calls): file names and
// device names are not all ASCII, and the ANSI code page cannot hold them all.
#pragma once

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

inline std::wstring WideFromUtf8(const std::string& strText)
{
    if (strText.empty())
        return std::wstring();
    const int nLen = MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), nullptr, 0);
    if (nLen <= 0)
        return std::wstring();
    std::wstring strWide(static_cast<size_t>(nLen), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), strWide.data(), nLen);
    return strWide;
}

inline std::string Utf8FromWide(const wchar_t* pszText, size_t nChars)
{
    if (nChars == 0)
        return std::string();
    const int nLen = WideCharToMultiByte(CP_UTF8, 0, pszText, static_cast<int>(nChars), nullptr, 0, nullptr, nullptr);
    if (nLen <= 0)
        return std::string();
    std::string strText(static_cast<size_t>(nLen), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pszText, static_cast<int>(nChars), strText.data(), nLen, nullptr, nullptr);
    return strText;
}

inline std::string Utf8FromWide(const std::wstring& strWide)
{
    return Utf8FromWide(strWide.data(), strWide.size());
}
