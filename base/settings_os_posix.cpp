#include "base/settings_os.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/settings.h"

const char* const SETTINGS_DEFAULT_WIRESHARK = "wireshark";

void GetExeDirectory(char* pszDir)
{
    pszDir[0] = '\0';
    char szExe[PATH_MAX];
    const ssize_t nLen = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nLen <= 0)
        return;
    szExe[nLen] = '\0';
    char* pSlash = std::strrchr(szExe, '/');
    if (pSlash != nullptr)
        *pSlash = '\0';
    // A directory that does not fit is not cut: a shortened path names another place.
    if (std::strlen(szExe) < static_cast<size_t>(SETTINGS_EXE_DIR_SIZE))
        std::memcpy(pszDir, szExe, std::strlen(szExe) + 1);
}

static std::string DirectoryOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos)
        return ".";
    if (nSlash == 0)
        return "/";
    return strPath.substr(0, nSlash);
}

int32_t SettingsReadFile(const char* pszPath, size_t nMaxLen, std::string& strText)
{
    strText.clear();
    // O_NONBLOCK: a FIFO planted at the path must not hang the reader.
    const int hFile = open(pszPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (hFile < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? SETTINGS_FILE_MISSING : SETTINGS_FILE_UNUSABLE;
    struct stat st;
    if (fstat(hFile, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > nMaxLen) {
        close(hFile);
        return SETTINGS_FILE_UNUSABLE;
    }
    char byChunk[8192];
    for (;;) {
        const ssize_t nRead = read(hFile, byChunk, sizeof(byChunk));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0) {
            close(hFile);
            strText.clear();
            return SETTINGS_FILE_UNUSABLE;
        }
        if (nRead == 0)
            break;
        strText.append(byChunk, static_cast<size_t>(nRead));
        if (strText.size() > nMaxLen) {   // grew while we read it
            close(hFile);
            strText.clear();
            return SETTINGS_FILE_UNUSABLE;
        }
    }
    close(hFile);
    return SETTINGS_FILE_OK;
}

static bool WriteAll(int hFile, const std::string& strText)
{
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t nWritten = write(hFile, strText.data() + nDone, strText.size() - nDone);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        nDone += static_cast<size_t>(nWritten);
    }
    return true;
}

// Creates a fresh temporary file beside strTarget; -1 on failure.
static int CreateTempBeside(const std::string& strTarget, mode_t nMode, std::string& strTemp)
{
    static std::atomic<uint32_t> s_dwCounter{0};
    const std::string strDir = DirectoryOf(strTarget);
    const size_t nSlash = strTarget.rfind('/');
    const std::string strBase = nSlash == std::string::npos ? strTarget : strTarget.substr(nSlash + 1);
    for (int i = 0; i < 100; ++i) {
        char szSuffix[48];
        std::snprintf(szSuffix, sizeof(szSuffix), ".tmp%ld-%u", static_cast<long>(getpid()),
                      static_cast<unsigned>(s_dwCounter.fetch_add(1)));
        strTemp = strDir + "/." + strBase + szSuffix;
        const int hFile = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, nMode);
        if (hFile >= 0)
            return hFile;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

static void SyncDirectory(const std::string& strDir)
{
    const int hDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hDir >= 0) {
        fsync(hDir);
        close(hDir);
    }
}

bool SettingsReplaceFile(const char* pszPath, const std::string& strText)
{
    std::string strTarget = pszPath;
    bool bExists = false;
    struct stat st;
    if (lstat(pszPath, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // Replace the file the link names, not the link.
            char* pszReal = realpath(pszPath, nullptr);
            if (pszReal == nullptr)
                return false;   // a dangling link: nothing of ours to replace
            strTarget = pszReal;
            std::free(pszReal);
            if (stat(strTarget.c_str(), &st) != 0)
                return false;
        }
        if (!S_ISREG(st.st_mode))
            return false;
        bExists = true;
    } else if (errno != ENOENT) {
        return false;
    }

    std::string strTemp;
    // A new file gets the usual 0666 less the umask; an old one keeps its mode.
    const int hFile = CreateTempBeside(strTarget, bExists ? 0600 : 0666, strTemp);
    if (hFile < 0)
        return false;
    bool bOk = WriteAll(hFile, strText);
    if (bOk && bExists) {
        if (st.st_uid != geteuid() || st.st_gid != getegid()) {
            if (fchown(hFile, st.st_uid, st.st_gid) != 0) {
                // Only a privileged user can give a file away; the content matters more.
            }
        }
        bOk = fchmod(hFile, st.st_mode & 07777) == 0;
    }
    bOk = bOk && fsync(hFile) == 0;
    bOk = (close(hFile) == 0) && bOk;
    bOk = bOk && rename(strTemp.c_str(), strTarget.c_str()) == 0;
    if (!bOk) {
        unlink(strTemp.c_str());
        return false;
    }
    SyncDirectory(DirectoryOf(strTarget));
    return true;
}

bool SettingsDirWritable(const char* pszDir)
{
    struct stat st;
    if (stat(pszDir, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return access(pszDir, W_OK | X_OK) == 0;
}

bool SettingsMakeDirs(const char* pszDir)
{
    const std::string strDir = pszDir;
    if (strDir.empty())
        return false;
    size_t nPos = 0;
    while (nPos != std::string::npos) {
        nPos = strDir.find('/', nPos + 1);
        const std::string strPart = strDir.substr(0, nPos);
        struct stat st;
        if (stat(strPart.c_str(), &st) == 0)
            continue;   // existing parts are left to what they are; a file among them fails below
        if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(strDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SettingsUserConfigHome(std::string& strDir)
{
    const char* pszXdg = std::getenv("XDG_CONFIG_HOME");
    if (pszXdg != nullptr && pszXdg[0] == '/') {
        strDir = pszXdg;
        return true;
    }
    const char* pszHome = std::getenv("HOME");
    std::string strHome;
    if (pszHome != nullptr && pszHome[0] == '/') {
        strHome = pszHome;
    } else {
        struct passwd pw;
        struct passwd* pResult = nullptr;
        char szBuf[4096];
        if (getpwuid_r(getuid(), &pw, szBuf, sizeof(szBuf), &pResult) != 0 || pResult == nullptr
            || pw.pw_dir == nullptr || pw.pw_dir[0] != '/')
            return false;
        strHome = pw.pw_dir;
    }
    if (strHome.size() > 1 && strHome.back() == '/')
        strHome.pop_back();
    strDir = (strHome == "/" ? std::string() : strHome) + "/.config";
    return true;
}
