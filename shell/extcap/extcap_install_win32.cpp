// --install on Windows: a copy of the program in the user's Wireshark extcap
// folder, %APPDATA%\Wireshark\extcap (links need privileges there).
#include "shell/extcap/extcap_install_os.h"

#include "base/settings_os.h"

#include <windows.h>

#include <cstdlib>

const char* const EXTCAP_INSTALLED_NAME = "quillmark-extcap.exe";
const char EXTCAP_PATH_SEPARATOR = '\\';

namespace {

bool SamePathNoCase(const std::string& strA, const std::string& strB)
{
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, strA.c_str(), -1, strB.c_str(), -1) == CSTR_EQUAL;
}

std::string FullPath(const std::string& strPath)
{
    char szFull[MAX_PATH];
    const DWORD dwLen = GetFullPathNameA(strPath.c_str(), MAX_PATH, szFull, nullptr);
    return (dwLen > 0 && dwLen < MAX_PATH) ? std::string(szFull, dwLen) : strPath;
}

} // namespace

std::string ExtcapProgramPath()
{
    char szExe[MAX_PATH];
    const DWORD dwLen = GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        return std::string();
    return std::string(szExe, dwLen);
}

bool ExtcapQueryFolders(CExtcapFolders& folders, std::string& strWhy)
{
    const char* pszAppData = std::getenv("APPDATA");
    if (pszAppData == nullptr || pszAppData[0] == '\0') {
        strWhy = "APPDATA is not set: the personal Wireshark folder is unknown";
        return false;
    }
    folders.m_strPersonal = std::string(pszAppData) + "\\Wireshark\\extcap";
    return true;
}

// Folders on Windows inherit their access from the one above: nothing to open up.
bool ExtcapMakeFolders(const std::string& strDir)
{
    return SettingsMakeDirs(strDir.c_str());
}

EExtcapEntry ExtcapInspectEntry(const std::string& strEntry, const std::string& strProgram, std::string& strWhat)
{
    const DWORD dwAttr = GetFileAttributesA(strEntry.c_str());
    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return EExtcapEntry::None;
    if ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        strWhat = "a folder";
        return EExtcapEntry::Foreign;
    }
    // A file of our name is the copy an earlier --install made.
    return SamePathNoCase(FullPath(strEntry), FullPath(strProgram)) ? EExtcapEntry::Self : EExtcapEntry::Ours;
}

COsError ExtcapPlaceProgram(const std::string& strProgram, const std::string& strEntry)
{
    return CopyFileA(strProgram.c_str(), strEntry.c_str(), FALSE) ? COsError() : OsLastError();
}

COsError ExtcapRemoveEntry(const std::string& strEntry)
{
    return DeleteFileA(strEntry.c_str()) ? COsError() : OsLastError();
}
