// --install on POSIX: a symbolic link to the real program, which finds its
// settings and ports directory through /proc/self/exe, i.e. beside itself;
// Wireshark's folders come from `tshark -G folders`.
#include "shell/extcap/extcap_install_os.h"

#include "base/settings_os.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const EXTCAP_INSTALLED_NAME = "quillmark-extcap";
const char EXTCAP_PATH_SEPARATOR = '/';

namespace {

constexpr size_t FOLDERS_TEXT_MAX = 64 * 1024;   // tshark prints a few hundred bytes
constexpr uint32_t EXTCAP_FOLDER_MODE = 0755;      // Wireshark may run as another user

// The last name of a link's target, trailing slashes aside ("" for none).
std::string TargetFileName(std::string strTarget)
{
    while (!strTarget.empty() && strTarget.back() == '/')
        strTarget.pop_back();
    const size_t nSlash = strTarget.find_last_of('/');
    return nSlash == std::string::npos ? strTarget : strTarget.substr(nSlash + 1);
}

// The canonical path of strPath; "" when it does not exist.
std::string RealPath(const std::string& strPath)
{
    char szReal[PATH_MAX];
    return realpath(strPath.c_str(), szReal) != nullptr ? std::string(szReal) : std::string();
}

// Runs tshark -G folders and keeps its standard output (its complaints about
// running as root go to /dev/null).
bool RunTsharkFolders(std::string& strText, std::string& strWhy)
{
    int hPipe[2];
    if (pipe2(hPipe, O_CLOEXEC) != 0) {
        strWhy = "Cannot run tshark: " + OsLastError().m_strText;
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, hPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    char szTshark[] = "tshark";
    char szG[] = "-G";
    char szFolders[] = "folders";
    char* argv[] = { szTshark, szG, szFolders, nullptr };
    pid_t pid = 0;
    const int nSpawn = posix_spawnp(&pid, "tshark", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(hPipe[1]);
    if (nSpawn != 0) {
        close(hPipe[0]);
        strWhy = "Cannot run tshark (Wireshark's command-line tool): " + OsErrorFromCode(nSpawn).m_strText;
        return false;
    }
    char byBuf[4096];
    for (;;) {
        const ssize_t nRead = read(hPipe[0], byBuf, sizeof(byBuf));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead <= 0)
            break;
        if (strText.size() < FOLDERS_TEXT_MAX)
            strText.append(byBuf, static_cast<size_t>(nRead));
    }
    close(hPipe[0]);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        strWhy = "tshark -G folders failed";
        return false;
    }
    return true;
}

} // namespace

std::string ExtcapProgramPath()
{
    char szExe[PATH_MAX];
    const ssize_t nLen = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nLen <= 0)
        return std::string();
    return std::string(szExe, static_cast<size_t>(nLen));
}

bool ExtcapQueryFolders(CExtcapFolders& folders, std::string& strWhy)
{
    std::string strText;
    if (!RunTsharkFolders(strText, strWhy))
        return false;
    folders = ParseExtcapFolders(strText);
    return true;
}

bool ExtcapMakeFolders(const std::string& strDir)
{
    return SettingsMakeDirs(strDir.c_str(), EXTCAP_FOLDER_MODE);
}

EExtcapEntry ExtcapInspectEntry(const std::string& strEntry, const std::string& strProgram, std::string& strWhat)
{
    struct stat st;
    if (lstat(strEntry.c_str(), &st) != 0)
        return EExtcapEntry::None;
    const std::string strReal = RealPath(strEntry);
    const bool bIsProgram = !strReal.empty() && strReal == RealPath(strProgram);
    if (!S_ISLNK(st.st_mode)) {
        strWhat = "not a symbolic link";
        return bIsProgram ? EExtcapEntry::Self : EExtcapEntry::Foreign;
    }
    if (bIsProgram)
        return EExtcapEntry::Ours;
    char szTarget[PATH_MAX];
    const ssize_t nLen = readlink(strEntry.c_str(), szTarget, sizeof(szTarget) - 1);
    const std::string strTarget = nLen > 0 ? std::string(szTarget, static_cast<size_t>(nLen)) : std::string();
    strWhat = "a link to " + strTarget;
    // Only the file name counts: "quillmark-extcap" elsewhere in the target
    // (a folder of that name) says nothing about the program it runs.
    if (TargetFileName(strTarget) != EXTCAP_INSTALLED_NAME)
        return EExtcapEntry::Foreign;
    struct stat stTarget;
    if (stat(strEntry.c_str(), &stTarget) != 0)
        return errno == ENOENT || errno == ENOTDIR ? EExtcapEntry::Stale : EExtcapEntry::Foreign;
    return S_ISDIR(stTarget.st_mode) ? EExtcapEntry::Foreign : EExtcapEntry::Other;
}

COsError ExtcapPlaceProgram(const std::string& strProgram, const std::string& strEntry)
{
    // A new link under a temporary name, renamed over the old one: Wireshark
    // never finds the entry missing or half made.
    const std::string strTemp = strEntry + ".new" + std::to_string(getpid());
    unlink(strTemp.c_str());
    if (symlink(strProgram.c_str(), strTemp.c_str()) != 0)
        return OsLastError();
    if (rename(strTemp.c_str(), strEntry.c_str()) != 0) {
        const COsError err = OsLastError();
        unlink(strTemp.c_str());
        return err;
    }
    return COsError();
}

COsError ExtcapRemoveEntry(const std::string& strEntry)
{
    return unlink(strEntry.c_str()) == 0 ? COsError() : OsLastError();
}
