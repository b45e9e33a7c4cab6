// The settings store's file operations on Win32: Quillmark.ini beside the
// .exe (GetModuleFileNameA); a program folder the user may not write to sends
// the file to %APPDATA%. The store itself goes through the profile calls
// (profile_win32.cpp); the whole-file operations here let those calls see
// whether the file is INI text, and serve the portable INI text layer, which
// replaces a file through a temporary one and ReplaceFileA / MoveFileExA.
#include "base/settings_os.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include <windows.h>

#include "base/os_error.h"
#include "base/settings.h"

const char* const SETTINGS_DEFAULT_WIRESHARK = "wireshark.exe";

static constexpr DWORD MODULE_NAME_SIZE = 264;
static constexpr DWORD MODULE_NAME_OFFERED = 260;
static constexpr DWORD ENV_VALUE_MAX = 32767;
static constexpr int32_t TEMP_NAME_TRIES = 100;

void GetExeDirectory(char* pszDir)
{
    pszDir[0] = '\0';
    char szExe[MODULE_NAME_SIZE] = {};
    const DWORD dwLen = GetModuleFileNameA(nullptr, szExe, MODULE_NAME_OFFERED);
    // A cut module name (the call fills the buffer) names some other place.
    if (dwLen == 0 || dwLen >= MODULE_NAME_OFFERED)
        return;
    char* pSlash = std::strrchr(szExe, '\\');
    if (pSlash != nullptr)
        *pSlash = '\0';
    if (std::strlen(szExe) < static_cast<size_t>(SETTINGS_EXE_DIR_SIZE))
        std::memcpy(pszDir, szExe, std::strlen(szExe) + 1);
}

static bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

int32_t SettingsReadFile(const char* pszPath, size_t nMaxLen, std::string& strText)
{
    strText.clear();
    const HANDLE hFile = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD dwErr = GetLastError();
        return dwErr == ERROR_FILE_NOT_FOUND || dwErr == ERROR_PATH_NOT_FOUND ? SETTINGS_FILE_MISSING
                                                                            : SETTINGS_FILE_UNUSABLE;
    }
    // Only a disk file: a device or pipe planted at the path must not be read (or hang us).
    LARGE_INTEGER liSize = {};
    if (GetFileType(hFile) != FILE_TYPE_DISK || !GetFileSizeEx(hFile, &liSize)
        || static_cast<uint64_t>(liSize.QuadPart) > nMaxLen) {
        CloseHandle(hFile);
        return SETTINGS_FILE_UNUSABLE;
    }
    std::vector<char> vBuf(static_cast<size_t>(liSize.QuadPart) + 1);
    DWORD dwRead = 0;
    const BOOL bOk = ReadFile(hFile, vBuf.data(), static_cast<DWORD>(vBuf.size()), &dwRead, nullptr);
    CloseHandle(hFile);
    if (!bOk || dwRead > nMaxLen)
        return SETTINGS_FILE_UNUSABLE;   // failed, or grew while we read it
    strText.assign(vBuf.data(), dwRead);
    return SETTINGS_FILE_OK;
}

static bool WriteAll(HANDLE hFile, const std::string& strText)
{
    size_t nDone = 0;
    while (nDone < strText.size()) {
        DWORD dwPut = 0;
        if (!WriteFile(hFile, strText.data() + nDone, static_cast<DWORD>(strText.size() - nDone), &dwPut, nullptr)
            || dwPut == 0)
            return false;
        nDone += dwPut;
    }
    return true;
}

// A fresh temporary file beside strTarget, opened for writing.
static HANDLE CreateTempBeside(const std::string& strTarget, std::string& strTemp)
{
    static std::atomic<uint32_t> s_dwCounter{0};
    for (int32_t i = 0; i < TEMP_NAME_TRIES; ++i) {
        char szSuffix[48];
        std::snprintf(szSuffix, sizeof(szSuffix), ".tmp%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned>(s_dwCounter.fetch_add(1)));
        strTemp = strTarget + szSuffix;
        const HANDLE hFile = CreateFileA(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return hFile;
    }
    return INVALID_HANDLE_VALUE;
}

static std::string DirectoryOf(const std::string& strPath)
{
    const size_t nSep = strPath.find_last_of("/\\");
    return nSep == std::string::npos ? std::string(".") : strPath.substr(0, nSep);
}

static std::string BaseNameOf(const std::string& strPath)
{
    const size_t nSep = strPath.find_last_of("/\\");
    return nSep == std::string::npos ? strPath : strPath.substr(nSep + 1);
}

static std::string LastErrorText()
{
    const COsError err = OsLastError();
    return err.m_strText.empty() ? std::string() : ": " + err.m_strText;
}

// The path the file or folder at pszPath finally is, every link and junction
// on the way followed, in the form "C:\dir\name" ("\\server\share\..." on a
// share). false (with GetLastError) when it cannot be opened.
static bool FinalPathOf(const char* pszPath, std::string& strFinal)
{
    // No access asked for: enough to name it, and no sharing conflict with anyone.
    const HANDLE hFile = CreateFileA(pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> vBuf(MAX_PATH + 1);
    DWORD dwLen = GetFinalPathNameByHandleA(hFile, vBuf.data(), static_cast<DWORD>(vBuf.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (dwLen >= vBuf.size()) {
        vBuf.resize(dwLen + 1);
        dwLen = GetFinalPathNameByHandleA(hFile, vBuf.data(), static_cast<DWORD>(vBuf.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    const DWORD dwErr = GetLastError();
    CloseHandle(hFile);
    if (dwLen == 0 || dwLen >= vBuf.size()) {
        SetLastError(dwErr);
        return false;
    }
    strFinal.assign(vBuf.data(), dwLen);
    // "\\?\UNC\server\share" is "\\server\share", made in place: GCC 12
    // warns falsely (-Wrestrict) on a literal added to a string at -O3.
    if (strFinal.compare(0, 8, "\\\\?\\UNC\\") == 0)
        strFinal.erase(0, 6).front() = '\\';
    else if (strFinal.compare(0, 4, "\\\\?\\") == 0)
        strFinal = strFinal.substr(4);
    return true;
}

// Only a file that is a reparse point (a symbolic link, a junction) is looked
// into: an ordinary file is where it is named.
bool SettingsWriteStaysInFolder(const char* pszPath, std::string& strWhy)
{
    const DWORD dwAttr = GetFileAttributesA(pszPath);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    const std::string strName = BaseNameOf(pszPath);
    const std::string strDir = DirectoryOf(pszPath);
    std::string strFinalDir;
    std::string strFinal;
    if (!FinalPathOf(strDir.c_str(), strFinalDir)) {
        strWhy = "Settings not saved: " + strName + " is a link that cannot be followed" + LastErrorText();
        return false;
    }
    if (!FinalPathOf(pszPath, strFinal)) {
        const DWORD dwErr = GetLastError();
        if (dwErr == ERROR_FILE_NOT_FOUND || dwErr == ERROR_PATH_NOT_FOUND)
            strWhy = "Settings not saved: " + strName + " is a link to a file that does not exist";
        else
            strWhy = "Settings not saved: " + strName + " is a link that cannot be followed" + LastErrorText();
        return false;
    }
    const std::string strPrefix = strFinalDir + (IsSeparator(strFinalDir.back()) ? "" : "\\");
    const bool bInside = strFinal.size() > strPrefix.size()
        && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, strFinal.c_str(), static_cast<int>(strPrefix.size()),
                          strPrefix.c_str(), static_cast<int>(strPrefix.size())) == CSTR_EQUAL;
    if (!bInside) {
        strWhy = "Settings not saved: " + strName + " is a link to " + strFinal + ", outside " + strDir;
        return false;
    }
    return true;
}

bool SettingsReplaceFile(const char* pszPath, const std::string& strText, std::string* pstrWhy)
{
    std::string strWhy;
    if (!SettingsWriteStaysInFolder(pszPath, strWhy)) {
        if (pstrWhy != nullptr)
            *pstrWhy = strWhy;
        return false;
    }
    const std::string strTarget = pszPath;
    const DWORD dwAttr = GetFileAttributesA(pszPath);
    const bool bExists = dwAttr != INVALID_FILE_ATTRIBUTES;
    if (bExists && (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return false;   // not a file we may replace
    if (!bExists && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    std::string strTemp;
    const HANDLE hFile = CreateTempBeside(strTarget, strTemp);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (pstrWhy != nullptr)
            *pstrWhy = "Settings not saved: " + DirectoryOf(strTarget) + " is not writable" + LastErrorText();
        return false;
    }
    bool bOk = WriteAll(hFile, strText) && FlushFileBuffers(hFile);
    bOk = CloseHandle(hFile) && bOk;
    if (bOk) {
        // ReplaceFileA keeps the old file's attributes and security; a new file is simply moved in.
        bOk = bExists ? ReplaceFileA(pszPath, strTemp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                     nullptr)
                      : MoveFileExA(strTemp.c_str(), pszPath, MOVEFILE_WRITE_THROUGH);
    }
    if (!bOk)
        DeleteFileA(strTemp.c_str());
    return bOk;
}

bool SettingsDirWritable(const char* pszDir)
{
    const DWORD dwAttr = GetFileAttributesA(pszDir);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    // Access rights decide, not attributes: try a file that goes when closed.
    char szProbe[MAX_PATH + 64];
    std::snprintf(szProbe, sizeof(szProbe), "%s\\.qm-probe%lu", pszDir, static_cast<unsigned long>(GetCurrentProcessId()));
    const HANDLE hFile = CreateFileA(szProbe, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(hFile);
    return true;
}

bool SettingsMakeDirs(const char* pszDir, uint32_t /*nNewMode*/)
{
    const std::string strDir = pszDir;
    if (strDir.empty())
        return false;
    for (size_t nPos = 0; nPos <= strDir.size(); ++nPos) {
        if (nPos < strDir.size() && !IsSeparator(strDir[nPos]))
            continue;
        const std::string strPart = strDir.substr(0, nPos);
        // Skip roots and drive letters ("", "C:", "\\server"): they exist or cannot be made.
        if (strPart.empty() || strPart.back() == ':' || GetFileAttributesA(strPart.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!CreateDirectoryA(strPart.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    const DWORD dwAttr = GetFileAttributesA(pszDir);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SettingsUserConfigHome(std::string& strDir)
{
    std::vector<char> vBuf(ENV_VALUE_MAX);
    const DWORD dwLen = GetEnvironmentVariableA("APPDATA", vBuf.data(), ENV_VALUE_MAX);
    if (dwLen == 0 || dwLen >= ENV_VALUE_MAX)
        return false;
    strDir.assign(vBuf.data(), dwLen);
    while (strDir.size() > 3 && IsSeparator(strDir.back()))
        strDir.pop_back();
    return !strDir.empty();
}

// A program folder the user may not write to (Program Files) already sends the
// settings to %APPDATA%; an unpacked folder keeps them beside the program.
bool SettingsExeDirInstalled(const char*, const char*)
{
    return false;
}
