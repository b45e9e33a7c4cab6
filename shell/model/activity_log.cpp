#include "shell/model/activity_log.h"

#include "link/msg_wnd.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

CMsgTarget* g_pLogTarget = nullptr;

} // namespace

void SetLogTarget(CMsgTarget* pTarget)
{
    g_pLogTarget = pTarget;
}

CMsgTarget* GetLogTarget()
{
    return g_pLogTarget;
}

std::string BuildLogText(int32_t nHour, int32_t nMinute, int32_t nSecond, const char* pszMessage)
{
    char szPrefix[32];
    std::snprintf(szPrefix, sizeof(szPrefix), "%02d:%02d:%02d  ",
        static_cast<int>(nHour), static_cast<int>(nMinute), static_cast<int>(nSecond));
    std::string strText = szPrefix;
    strText += pszMessage != nullptr ? pszMessage : "";
    strText += '\n';
    return strText;
}

std::string LogTextToBoxText(const char* pszText)
{
    if (pszText == nullptr || pszText[0] == '\0')
        return std::string();
    size_t nLen = std::strlen(pszText);
    while (nLen > 0 && (pszText[nLen - 1] == '\n' || pszText[nLen - 1] == '\r'))
        --nLen;
    std::string strBox;
    strBox.reserve(nLen + 1);
    for (size_t i = 0; i < nLen; ++i) {
        char ch = pszText[i];
        if (ch == '\r' && i + 1 < nLen && pszText[i + 1] == '\n') {
            strBox += '\n';
            ++i;
        } else if (ch == '\r' || ch == '\n') {
            strBox += ' ';
        } else {
            strBox += ch;
        }
    }
    strBox += '\n';
    return strBox;
}

void LogPrintf(const char* pszFormat, ...)
{
    CMsgTarget* pTarget = g_pLogTarget;
    if (pTarget == nullptr || pszFormat == nullptr)
        return;

    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    int nNeed = std::vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    if (nNeed < 0) {
        va_end(argsCopy);
        return;
    }
    std::vector<char> vecMessage(static_cast<size_t>(nNeed) + 1);
    std::vsnprintf(vecMessage.data(), vecMessage.size(), pszFormat, argsCopy);
    va_end(argsCopy);

    // localtime's static result is only touched here, on the window thread.
    std::time_t tNow = std::time(nullptr);
    const std::tm* pLocal = std::localtime(&tNow);
    if (pLocal == nullptr)
        return;
    std::string strText = BuildLogText(pLocal->tm_hour, pLocal->tm_min, pLocal->tm_sec, vecMessage.data());
    pTarget->OnMessage(WM_LOG_TEXT, 0, reinterpret_cast<LPARAM>(strText.c_str()));
}
