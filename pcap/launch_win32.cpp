// Program lookup and the detached launch with CreateProcessA. A bare name such
// as the default "wireshark.exe" is looked for where Windows keeps an installed
// program: the App Paths registry key, then PATH, then the Wireshark folder
// under Program Files. The current directory is never searched: a file planted
// there must not run in Wireshark's place.
#include "pcap/launch.h"

#include <cstring>
#include <vector>

#include <windows.h>

static const char* const APP_PATHS_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
static const char* const PROGRAM_FILES_VARS[] = {"ProgramW6432", "ProgramFiles", "ProgramFiles(x86)"};
static const char* const WIRESHARK_FOLDER = "\\Wireshark\\";
static constexpr DWORD ENV_VALUE_MAX = 32767;

static bool HasDirectoryPart(const char* pszPath)
{
    return std::strpbrk(pszPath, "\\/:") != nullptr;
}

static bool IsFile(const std::string& strPath)
{
    const DWORD dwAttr = GetFileAttributesA(strPath.c_str());
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

static std::string EnvValue(const char* pszName)
{
    std::vector<char> vBuf(ENV_VALUE_MAX);
    const DWORD dwLen = GetEnvironmentVariableA(pszName, vBuf.data(), ENV_VALUE_MAX);
    return dwLen > 0 && dwLen < ENV_VALUE_MAX ? std::string(vBuf.data(), dwLen) : std::string();
}

// The App Paths entry's default value (the program's full path), per user first.
static std::string FromAppPaths(const std::string& strName)
{
    const std::string strKey = APP_PATHS_KEY + strName;
    for (HKEY hRoot : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        // RRF_RT_REG_SZ also takes a REG_EXPAND_SZ value, expanded.
        char szValue[MAX_PATH];
        DWORD dwSize = sizeof(szValue);
        if (RegGetValueA(hRoot, strKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, szValue,
                         &dwSize) != ERROR_SUCCESS)
            continue;
        std::string strPath = szValue;
        if (strPath.size() >= 2 && strPath.front() == '"' && strPath.back() == '"')
            strPath = strPath.substr(1, strPath.size() - 2);
        if (IsFile(strPath))
            return strPath;
    }
    return std::string();
}

static std::string FromSearchPath(const std::string& strName)
{
    const std::string strSearch = EnvValue("PATH");
    size_t nPos = 0;
    while (nPos <= strSearch.size()) {
        size_t nEnd = strSearch.find(';', nPos);
        if (nEnd == std::string::npos)
            nEnd = strSearch.size();
        std::string strDir = strSearch.substr(nPos, nEnd - nPos);
        if (strDir.size() >= 2 && strDir.front() == '"' && strDir.back() == '"')
            strDir = strDir.substr(1, strDir.size() - 2);
        if (!strDir.empty()) {   // an empty entry would be the current directory
            if (strDir.back() != '\\' && strDir.back() != '/')
                strDir += '\\';
            if (IsFile(strDir + strName))
                return strDir + strName;
        }
        nPos = nEnd + 1;
    }
    return std::string();
}

static std::string FromProgramFiles(const std::string& strName)
{
    for (const char* pszVar : PROGRAM_FILES_VARS) {
        const std::string strRoot = EnvValue(pszVar);
        if (!strRoot.empty() && IsFile(strRoot + WIRESHARK_FOLDER + strName))
            return strRoot + WIRESHARK_FOLDER + strName;
    }
    return std::string();
}

std::string ResolveProgram(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return std::string();
    if (HasDirectoryPart(pszPath))
        return pszPath;
    std::string strName = pszPath;
    if (std::strchr(pszPath, '.') == nullptr)
        strName += ".exe";
    std::string strFound = FromAppPaths(strName);
    if (strFound.empty())
        strFound = FromSearchPath(strName);
    if (strFound.empty())
        strFound = FromProgramFiles(strName);
    return strFound;
}

bool ProgramExists(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return false;
    if (!HasDirectoryPart(pszPath))
        return !ResolveProgram(pszPath).empty();
    return GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
}

// One argument as the C runtime's command-line parser reads it back.
static void AppendQuoted(std::string& strLine, const char* pszArg)
{
    if (!strLine.empty())
        strLine += ' ';
    if (pszArg[0] != '\0' && std::strpbrk(pszArg, " \t\n\v\"") == nullptr) {
        strLine += pszArg;
        return;
    }
    strLine += '"';
    size_t nSlashes = 0;
    for (const char* p = pszArg; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++nSlashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        strLine.append(*p == '"' ? nSlashes * 2 + 1 : nSlashes, '\\');
        nSlashes = 0;
        strLine += *p;
    }
    strLine.append(nSlashes * 2, '\\');   // before the closing quote
    strLine += '"';
}

COsError LaunchDetached(const char* pszPath, const char* const* ppszArgs, int32_t nArgs)
{
    const std::string strExe = ResolveProgram(pszPath);
    const DWORD dwAttr = strExe.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(strExe.c_str());
    // The numbers the user is shown: 2 for a program not found (also when its
    // folder is missing, which CreateProcessA calls 3), 5 for a folder (Wine says 6).
    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return OsErrorFromCode(ERROR_FILE_NOT_FOUND);
    if ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return OsErrorFromCode(ERROR_ACCESS_DENIED);
    std::string strLine;
    AppendQuoted(strLine, strExe.c_str());
    for (int32_t i = 0; i < nArgs; ++i)
        AppendQuoted(strLine, ppszArgs[i] != nullptr ? ppszArgs[i] : "");
    std::vector<char> vLine(strLine.begin(), strLine.end());
    vLine.push_back('\0');

    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi = {};
    // No handles inherited: the serial port and the pipe must not live on in Wireshark.
    if (!CreateProcessA(strExe.c_str(), vLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi)) {
        const DWORD dwErr = GetLastError();
        return OsErrorFromCode(dwErr == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : dwErr);
    }
    // Not tracked: nobody waits for it or ends it.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return COsError();
}
