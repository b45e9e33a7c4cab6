#include "base/settings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/ini_text.h"
#include "base/profile_api.h"
#include "base/settings_os.h"

static char s_szSettingsDir[SETTINGS_PATH_SIZE];
static char s_szSettingsPath[SETTINGS_PATH_SIZE];
static PFN_SETTINGS_DIR_PROBE s_pfnDirProbe = nullptr;

static const char SETTINGS_FILE_NAME[] = "/Quillmark.ini";
static const char SETTINGS_USER_SUBDIR[] = "/Quillmark";
constexpr int32_t SETTINGS_SECTION_SIZE = 64;
constexpr int32_t SETTINGS_INT_TEXT_SIZE = 64;

void SetSettingsDirProbe(PFN_SETTINGS_DIR_PROBE pfnProbe)
{
    s_pfnDirProbe = pfnProbe;
}

// A directory is taken only when its INI path fits the buffer whole: a cut
// path would name some other file.
static bool FitsPathBuffer(const std::string& strDir)
{
    return !strDir.empty()
        && strDir.size() + sizeof(SETTINGS_FILE_NAME) <= static_cast<size_t>(SETTINGS_PATH_SIZE);
}

#ifndef QM_INSTALL_DIRS
#define QM_INSTALL_DIRS ""
#endif

const char* SettingsBuiltInstallDirs()
{
    return QM_INSTALL_DIRS;
}

void InitSettingsPathFor(const char* pszExeDir)
{
    InitSettingsPathFor(pszExeDir, SettingsBuiltInstallDirs());
}

void InitSettingsPathFor(const char* pszExeDir, const char* pszInstallDirs)
{
    std::memset(s_szSettingsDir, 0, sizeof(s_szSettingsDir));
    std::memset(s_szSettingsPath, 0, sizeof(s_szSettingsPath));

    const std::string strExeDir = pszExeDir != nullptr ? pszExeDir : "";
    const PFN_SETTINGS_DIR_PROBE pfnProbe = s_pfnDirProbe != nullptr ? s_pfnDirProbe : SettingsDirWritable;
    // An installed program never asks whether it could write beside itself.
    const bool bInstalled = !strExeDir.empty()
        && SettingsExeDirInstalled(strExeDir.c_str(), pszInstallDirs != nullptr ? pszInstallDirs : "");
    std::string strDir;
    if (!bInstalled && FitsPathBuffer(strExeDir) && pfnProbe(strExeDir.c_str())) {
        strDir = strExeDir;
    } else {
        std::string strHome;
        if (SettingsUserConfigHome(strHome))
            strDir = strHome + SETTINGS_USER_SUBDIR;
        // Without a usable per-user place the executable's directory still
        // serves reads, and writes there fail as they would anyway; not for
        // an installed program, whose folder (root may write to it) is never
        // the settings folder: no path then.
        if (!FitsPathBuffer(strDir) && !bInstalled)
            strDir = strExeDir;
    }
    if (!FitsPathBuffer(strDir))
        return;   // no path: every read gives its default, every write fails
    std::snprintf(s_szSettingsDir, sizeof(s_szSettingsDir), "%s", strDir.c_str());
    std::snprintf(s_szSettingsPath, sizeof(s_szSettingsPath), "%s%s", strDir.c_str(), SETTINGS_FILE_NAME);
}

void InitSettingsPath()
{
    char szExeDir[SETTINGS_PATH_SIZE];
    std::memset(szExeDir, 0, sizeof(szExeDir));
    GetExeDirectory(szExeDir);
    InitSettingsPathFor(szExeDir);
}

const char* GetSettingsPath()
{
    return s_szSettingsPath;
}

const char* GetSettingsDirectory()
{
    return s_szSettingsDir;
}

void SettingsSectionName(int32_t nIndex, char* pszOut)
{
    if (nIndex <= 4)
        std::snprintf(pszOut, SETTINGS_SECTION_SIZE, "Config_%d", static_cast<int>(nIndex));
    else
        std::snprintf(pszOut, SETTINGS_SECTION_SIZE, "Config");
}

// The store's own refusals come first, the same on every platform: no path,
// no key, or names and values that could not be read back as written.
static bool CanRead(const char* pszKey)
{
    return s_szSettingsPath[0] != '\0' && pszKey != nullptr;
}

// Per thread: the dialog and a tool may write from different threads, and each
// asks about its own last write.
static thread_local std::string s_strLastWriteError;

std::string GetLastSettingsWriteError()
{
    return s_strLastWriteError;
}

static int32_t WriteValue(int32_t nIndex, const char* pszKey, const char* pszValue)
{
    s_strLastWriteError.clear();
    char szSection[SETTINGS_SECTION_SIZE];
    SettingsSectionName(nIndex, szSection);
    if (!CanRead(pszKey) || !IniCanStore(szSection, pszKey, pszValue))
        return 0;
    std::string strWhy;
    if (ProfileWriteString(s_szSettingsPath, szSection, pszKey, pszValue, &strWhy))
        return 1;
    s_strLastWriteError = strWhy;
    return 0;
}

int32_t ReadSettingInt(int32_t nIndex, const char* pszKey, int32_t nDefault)
{
    if (!CanRead(pszKey))
        return nDefault;
    char szSection[SETTINGS_SECTION_SIZE];
    SettingsSectionName(nIndex, szSection);
    return ProfileGetInt(s_szSettingsPath, szSection, pszKey, nDefault);
}

int32_t WriteSettingInt(int32_t nIndex, const char* pszKey, int32_t nValue)
{
    char szValue[SETTINGS_INT_TEXT_SIZE];
    std::snprintf(szValue, sizeof(szValue), "%d", static_cast<int>(nValue));
    return WriteValue(nIndex, pszKey, szValue);
}

int32_t ReadSettingString(int32_t nIndex, const char* pszKey, const char* pszDefault, char* pszOut,
    size_t* pnWholeLen)
{
    if (pnWholeLen != nullptr)
        *pnWholeLen = 0;
    if (pszOut == nullptr)
        return 0;
    const char* pszDef = pszDefault != nullptr ? pszDefault : "";
    std::string strValue;
    if (CanRead(pszKey)) {
        char szSection[SETTINGS_SECTION_SIZE];
        SettingsSectionName(nIndex, szSection);
        ProfileGetString(s_szSettingsPath, szSection, pszKey, pszDef, strValue);
    } else {
        strValue = pszDef;
    }
    if (pnWholeLen != nullptr)
        *pnWholeLen = strValue.size();
    size_t nLen = strValue.size();
    if (nLen > static_cast<size_t>(SETTINGS_VALUE_SIZE - 1))
        nLen = SETTINGS_VALUE_SIZE - 1;
    std::memcpy(pszOut, strValue.data(), nLen);
    pszOut[nLen] = '\0';
    return static_cast<int32_t>(nLen);
}

int32_t WriteSettingString(int32_t nIndex, const char* pszKey, const char* pszValue)
{
    return WriteValue(nIndex, pszKey, pszValue);
}
