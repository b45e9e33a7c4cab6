#include "base/settings_os.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/os_error.h"
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

static std::string BaseNameOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

static std::string ErrnoText(int nErr)
{
    const COsError err = OsErrorFromCode(nErr);
    return err.m_strText.empty() ? std::string() : ": " + err.m_strText;
}

static bool RealPathOf(const std::string& strPath, std::string& strReal)
{
    char* pszReal = realpath(strPath.c_str(), nullptr);
    if (pszReal == nullptr)
        return false;
    strReal = pszReal;
    std::free(pszReal);
    return true;
}

// "." and ".." taken out of an absolute path by its text alone.
static std::string LexicalPath(const std::string& strPath)
{
    std::vector<std::string> vecParts;
    size_t nPos = 0;
    while (nPos <= strPath.size()) {
        size_t nNext = strPath.find('/', nPos);
        if (nNext == std::string::npos)
            nNext = strPath.size();
        const std::string strPart = strPath.substr(nPos, nNext - nPos);
        if (strPart == "..") {
            if (!vecParts.empty())
                vecParts.pop_back();
        } else if (!strPart.empty() && strPart != ".") {
            vecParts.push_back(strPart);
        }
        nPos = nNext + 1;
    }
    std::string strOut;
    for (const std::string& strPart : vecParts)
        strOut += "/" + strPart;
    return strOut.empty() ? "/" : strOut;
}

constexpr int LINK_HOPS_MAX = 40;   // as the kernel's own limit

// Where the link strLink finally leads, every link on the way followed and
// the result resolved as far as it exists. bExists false for a dangling
// link; false when the way cannot be followed (a loop, no permission).
static bool FollowLink(const std::string& strLink, std::string& strEnd, bool& bExists)
{
    bExists = RealPathOf(strLink, strEnd);
    if (bExists)
        return true;
    if (errno != ENOENT)
        return false;
    std::string strCur = strLink;
    for (int i = 0;; ++i) {
        char szNext[PATH_MAX];
        const ssize_t nLen = readlink(strCur.c_str(), szNext, sizeof(szNext) - 1);
        if (nLen < 0)
            break;   // not a link (missing): the end of the way
        if (i == LINK_HOPS_MAX) {
            errno = ELOOP;
            return false;
        }
        const std::string strNext(szNext, static_cast<size_t>(nLen));
        strCur = strNext[0] == '/' ? strNext : DirectoryOf(strCur) + "/" + strNext;
    }
    std::string strDir;
    if (RealPathOf(DirectoryOf(strCur), strDir)) {
        strEnd = (strDir == "/" ? std::string() : strDir) + "/" + BaseNameOf(strCur);
        return true;
    }
    if (strCur[0] != '/') {
        char szCwd[PATH_MAX];
        if (getcwd(szCwd, sizeof(szCwd)) == nullptr)
            return false;
        strCur = std::string(szCwd) + "/" + strCur;
    }
    strEnd = LexicalPath(strCur);
    return true;
}

// The file a write to pszPath replaces: pszPath itself, or for a link that
// stays in the folder, the file it leads to. false with the reason otherwise.
static bool WriteTarget(const char* pszPath, std::string& strTarget, bool& bLink, std::string& strWhy)
{
    strTarget = pszPath;
    bLink = false;
    struct stat st;
    if (lstat(pszPath, &st) != 0 || !S_ISLNK(st.st_mode))
        return true;   // no link: what is there is looked at by the write itself
    bLink = true;
    const std::string strName = BaseNameOf(strTarget);
    const std::string strDir = DirectoryOf(strTarget);
    std::string strRealDir;
    std::string strEnd;
    bool bExists = false;
    if (!RealPathOf(strDir, strRealDir) || !FollowLink(strTarget, strEnd, bExists)) {
        strWhy = "Settings not saved: " + strName + " is a link that cannot be followed" + ErrnoText(errno);
        return false;
    }
    const std::string strPrefix = strRealDir == "/" ? strRealDir : strRealDir + "/";
    const bool bInside = strEnd.size() > strPrefix.size() && strEnd.compare(0, strPrefix.size(), strPrefix) == 0;
    if (!bInside) {
        strWhy = "Settings not saved: " + strName + " is a link to " + strEnd + ", outside " + strDir;
        return false;
    }
    if (!bExists) {
        strWhy = "Settings not saved: " + strName + " is a link to " + strEnd + ", which does not exist";
        return false;
    }
    strTarget = strEnd;
    return true;
}

bool SettingsWriteStaysInFolder(const char* pszPath, std::string& strWhy)
{
    std::string strTarget;
    bool bLink = false;
    return WriteTarget(pszPath, strTarget, bLink, strWhy);
}

static bool ReplaceFile(const char* pszPath, const std::string& strText, std::string& strWhy)
{
    // A link is resolved once, here, and the file it leads to is the one
    // replaced. One who may change the settings folder while a write runs
    // could still swap a folder on that way for a link; that user owns the
    // settings anyway.
    std::string strTarget;
    bool bLink = false;
    if (!WriteTarget(pszPath, strTarget, bLink, strWhy))
        return false;
    bool bExists = false;
    struct stat st;
    // The target has no link left in it: lstat sees a link planted since as what it is.
    if (lstat(strTarget.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return false;
        bExists = true;
    } else if (errno != ENOENT || bLink) {
        return false;
    }

    std::string strTemp;
    // A new file gets the usual 0666 less the umask; an old one keeps its mode.
    const int hFile = CreateTempBeside(strTarget, bExists ? 0600 : 0666, strTemp);
    if (hFile < 0) {
        strWhy = "Settings not saved: " + DirectoryOf(strTarget) + " is not writable" + ErrnoText(errno);
        return false;
    }
    int nErr = 0;
    bool bOk = WriteAll(hFile, strText);
    if (!bOk)
        nErr = errno;
    if (bOk && bExists) {
        if (st.st_uid != geteuid() || st.st_gid != getegid()) {
            if (fchown(hFile, st.st_uid, st.st_gid) != 0) {
                // Only a privileged user can give a file away; the content matters more.
            }
        }
        bOk = fchmod(hFile, st.st_mode & 07777) == 0;
        if (!bOk)
            nErr = errno;
    }
    if (bOk && fsync(hFile) != 0) {
        bOk = false;
        nErr = errno;
    }
    if (close(hFile) != 0 && bOk) {
        bOk = false;
        nErr = errno;
    }
    if (bOk && rename(strTemp.c_str(), strTarget.c_str()) != 0) {
        bOk = false;
        nErr = errno;
    }
    if (!bOk) {
        unlink(strTemp.c_str());
        strWhy = "Settings not saved: could not write " + strTarget + ErrnoText(nErr);
        return false;
    }
    SyncDirectory(DirectoryOf(strTarget));
    return true;
}

bool SettingsReplaceFile(const char* pszPath, const std::string& strText, std::string* pstrWhy)
{
    std::string strWhy;
    if (ReplaceFile(pszPath, strText, strWhy))
        return true;
    if (pstrWhy != nullptr && !strWhy.empty())
        *pstrWhy = strWhy;
    return false;
}

bool SettingsDirWritable(const char* pszDir)
{
    struct stat st;
    if (stat(pszDir, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return access(pszDir, W_OK | X_OK) == 0;
}

bool SettingsMakeDirs(const char* pszDir, uint32_t nNewMode)
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
        if (mkdir(strPart.c_str(), static_cast<mode_t>(nNewMode)) == 0) {
            // mkdir's mode passes through the umask.
            if (chmod(strPart.c_str(), static_cast<mode_t>(nNewMode)) != 0)
                return false;
        } else if (errno != EEXIST) {
            return false;
        }
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

// A folder as the comparison sees it: resolved when it exists, else its
// text with "." and ".." taken out; "" for a relative or empty one.
static std::string ComparableDir(const std::string& strDir)
{
    if (strDir.empty() || strDir[0] != '/')
        return std::string();
    std::string strReal;
    if (RealPathOf(strDir, strReal))
        return strReal;
    return LexicalPath(strDir);
}

static bool EndsWith(const std::string& strText, const std::string& strEnd)
{
    return strText.size() >= strEnd.size()
        && strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

bool SettingsExeDirInstalled(const char* pszExeDir, const char* pszInstallDirs)
{
    const std::string strDir = ComparableDir(pszExeDir != nullptr ? pszExeDir : "");
    if (strDir.empty())
        return false;
    static const char* const SYSTEM_PROGRAM_DIRS[] = {
        "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/bin", "/sbin",
    };
    for (const char* pszSystem : SYSTEM_PROGRAM_DIRS) {
        if (strDir == ComparableDir(pszSystem))
            return true;
    }
    // Wireshark's global extcap folders: /usr/lib/<triplet>/wireshark/extcap,
    // /usr/lib/wireshark/extcap, /usr/libexec/wireshark/extcap, /usr/local/lib/...
    if (strDir.compare(0, 5, "/usr/") == 0 && EndsWith(strDir, "/wireshark/extcap"))
        return true;
    const std::string strList = pszInstallDirs != nullptr ? pszInstallDirs : "";
    size_t nPos = 0;
    while (nPos <= strList.size()) {
        size_t nNext = strList.find(':', nPos);
        if (nNext == std::string::npos)
            nNext = strList.size();
        const std::string strInstall = ComparableDir(strList.substr(nPos, nNext - nPos));
        if (!strInstall.empty() && strInstall == strDir)
            return true;
        nPos = nNext + 1;
    }
    return false;
}
