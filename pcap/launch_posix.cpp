// Program lookup and the detached launch, by fork + fork + exec: the middle
// process exits at once and is reaped here, so the program ends up with no
// parent of ours and never becomes our zombie. A close-on-exec pipe carries the
// exec error (if any) back before we return.
#include "pcap/launch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

extern char** environ;

static bool IsExecutableFile(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(strPath.c_str(), X_OK) == 0;
}

std::string ResolveProgram(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return std::string();
    if (strchr(pszPath, '/') != nullptr)
        return pszPath;
    const char* pszSearch = getenv("PATH");
    if (pszSearch == nullptr)
        pszSearch = "/usr/local/bin:/usr/bin:/bin";
    const char* p = pszSearch;
    for (;;) {
        const char* pEnd = strchr(p, ':');
        const size_t nLen = pEnd != nullptr ? static_cast<size_t>(pEnd - p) : strlen(p);
        // An empty entry would mean the current directory: not searched.
        if (nLen > 0) {
            std::string strCand(p, nLen);
            strCand += '/';
            strCand += pszPath;
            if (IsExecutableFile(strCand))
                return strCand;
        }
        if (pEnd == nullptr)
            break;
        p = pEnd + 1;
    }
    return std::string();
}

bool ProgramExists(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return false;
    if (strchr(pszPath, '/') == nullptr)
        return !ResolveProgram(pszPath).empty();
    struct stat st;
    return stat(pszPath, &st) == 0;
}

// Only async-signal-safe calls from here on: we may have been forked from a
// process with other threads.
static void MarkDescriptorsCloseOnExec()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    struct rlimit rl;
    rlim_t nMax = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        nMax = rl.rlim_cur < 65536 ? rl.rlim_cur : 65536;
    for (int nFd = 3; nFd < static_cast<int>(nMax); ++nFd)
        fcntl(nFd, F_SETFD, FD_CLOEXEC);
}

static void CloseDescriptorsExcept(int nKeepFd)
{
    const bool bBelowDone = nKeepFd <= 3 || close_range(3, static_cast<unsigned>(nKeepFd - 1), 0) == 0;
    if (bBelowDone && close_range(static_cast<unsigned>(nKeepFd < 3 ? 3 : nKeepFd + 1), ~0U, 0) == 0)
        return;
    struct rlimit rl;
    rlim_t nMax = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        nMax = rl.rlim_cur < 65536 ? rl.rlim_cur : 65536;
    for (int nFd = 3; nFd < static_cast<int>(nMax); ++nFd) {
        if (nFd != nKeepFd)
            close(nFd);
    }
}

[[noreturn]] static void RunGrandchild(const char* pszExe, char* const* ppArgv, int nErrFd)
{
    setsid();
    // An ignored SIGPIPE would survive the exec; the program gets the default.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
    sigset_t setNone;
    sigemptyset(&setNone);
    sigprocmask(SIG_SETMASK, &setNone, nullptr);
    // The serial port (held with an exclusive lock) and the FIFO must not live
    // on in Wireshark: it would keep the port busy and never see the stream end.
    MarkDescriptorsCloseOnExec();
    execve(pszExe, ppArgv, environ);
    const int nErr = errno;
    // Let go of our descriptors before reporting, so that whatever they hold
    // (the pipe's instance lock, the serial port) is free when the launch
    // returns its error.
    CloseDescriptorsExcept(nErrFd);
    ssize_t nIgnored = write(nErrFd, &nErr, sizeof nErr);
    (void)nIgnored;
    _exit(127);
}

namespace {

// 0 once the program runs, else the errno value.
int32_t LaunchCode(const char* pszPath, const char* const* ppszArgs, int32_t nArgs)
{
    const std::string strExe = ResolveProgram(pszPath);
    if (strExe.empty())
        return ENOENT;
    // Everything the children need is built before the fork.
    std::vector<char*> vArgv;
    vArgv.push_back(const_cast<char*>(pszPath));
    for (int32_t i = 0; i < nArgs; ++i)
        vArgv.push_back(const_cast<char*>(ppszArgs[i]));
    vArgv.push_back(nullptr);

    int nPipe[2];
    if (pipe2(nPipe, O_CLOEXEC) != 0)
        return errno;
    const pid_t pid = fork();
    if (pid < 0) {
        const int nErr = errno;
        close(nPipe[0]);
        close(nPipe[1]);
        return nErr;
    }
    if (pid == 0) {
        close(nPipe[0]);
        const pid_t pidGrand = fork();
        if (pidGrand == 0)
            RunGrandchild(strExe.c_str(), vArgv.data(), nPipe[1]);
        if (pidGrand < 0) {
            const int nErr = errno;
            ssize_t nIgnored = write(nPipe[1], &nErr, sizeof nErr);
            (void)nIgnored;
        }
        _exit(0);
    }
    close(nPipe[1]);
    int nErr = 0;
    ssize_t nRead;
    do {
        nRead = read(nPipe[0], &nErr, sizeof nErr);
    } while (nRead < 0 && errno == EINTR);
    close(nPipe[0]);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    // End of file without a word: the exec closed the pipe, the program runs.
    if (nRead == static_cast<ssize_t>(sizeof nErr))
        return nErr != 0 ? nErr : EIO;
    return 0;
}

} // namespace

COsError LaunchDetached(const char* pszPath, const char* const* ppszArgs, int32_t nArgs)
{
    return OsErrorFromCode(LaunchCode(pszPath, ppszArgs, nArgs));
}
