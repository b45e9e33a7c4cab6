// Shared by the settings store tests: a private temp tree with an
// "executable directory" and a private XDG configuration home, plus small
// file helpers and a way to run code without root's privileges.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "base/settings.h"

inline std::string ReadBytes(const std::string& strPath)
{
    std::string strOut;
    const int hFile = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (hFile < 0)
        return "<unreadable>";
    char buf[4096];
    ssize_t n;
    while ((n = read(hFile, buf, sizeof(buf))) > 0)
        strOut.append(buf, static_cast<size_t>(n));
    close(hFile);
    return strOut;
}

inline void WriteBytes(const std::string& strPath, const std::string& strBytes, mode_t nMode = 0644)
{
    const int hFile = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, nMode);
    ASSERT_GE(hFile, 0) << strPath << ": " << std::strerror(errno);
    ASSERT_EQ(write(hFile, strBytes.data(), strBytes.size()), static_cast<ssize_t>(strBytes.size()));
    close(hFile);
}

inline bool PathExists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

inline std::set<std::string> ListDir(const std::string& strDir)
{
    std::set<std::string> setNames;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr)
        return setNames;
    while (dirent* pEnt = readdir(pDir)) {
        if (std::strcmp(pEnt->d_name, ".") != 0 && std::strcmp(pEnt->d_name, "..") != 0)
            setNames.insert(pEnt->d_name);
    }
    closedir(pDir);
    return setNames;
}

constexpr uid_t TEST_NOBODY = 65534;

inline int ChownEntry(const char* pszPath, const struct stat*, int, struct FTW*)
{
    return lchown(pszPath, TEST_NOBODY, TEST_NOBODY) == 0 ? 0 : -1;
}

inline int RemoveEntry(const char* pszPath, const struct stat*, int nType, struct FTW*)
{
    // chmod follows a link: a link's target (which may lie outside the tree,
    // such as /usr/bin) is never touched.
    if (nType != FTW_SL && nType != FTW_SLN)
        chmod(pszPath, 0700);
    return remove(pszPath);
}

// Runs fnWork as an ordinary user and returns its report ("" when all held).
// Root passes every permission check, so as root the work runs in a child
// that first becomes the unprivileged user 65534, after strTree has been
// handed to that user. "SKIP" when the privileges cannot be dropped.
inline std::string RunUnprivileged(const std::string& strTree, const std::function<std::string()>& fnWork)
{
    if (geteuid() != 0)
        return fnWork();
    if (nftw(strTree.c_str(), ChownEntry, 16, FTW_PHYS) != 0)
        return "could not hand the test tree to the unprivileged user";
    int hPipe[2];
    if (pipe(hPipe) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        close(hPipe[0]);
        std::string strReport;
        if (setgroups(0, nullptr) != 0 || setgid(TEST_NOBODY) != 0 || setuid(TEST_NOBODY) != 0)
            strReport = "SKIP";
        else
            strReport = fnWork();
        if (write(hPipe[1], strReport.data(), strReport.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(hPipe[1]);
    std::string strReport;
    char buf[512];
    ssize_t n;
    while ((n = read(hPipe[0], buf, sizeof(buf))) > 0)
        strReport.append(buf, static_cast<size_t>(n));
    close(hPipe[0]);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
        return "unprivileged child failed: " + strReport;
    return strReport;
}

class CSettingsTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* pszTmp = std::getenv("TMPDIR");
        std::string strTemplate = std::string(pszTmp != nullptr && pszTmp[0] == '/' ? pszTmp : "/tmp")
            + "/qm-settings-XXXXXX";
        ASSERT_NE(mkdtemp(strTemplate.data()), nullptr) << std::strerror(errno);
        m_strRoot = strTemplate;
        chmod(m_strRoot.c_str(), 0755);   // the unprivileged child must reach into it
        m_strApp = m_strRoot + "/app";
        ASSERT_EQ(mkdir(m_strApp.c_str(), 0755), 0);
        m_strXdg = m_strRoot + "/xdg";
        SaveEnv("XDG_CONFIG_HOME", m_strSavedXdg, m_bHadXdg);
        SaveEnv("HOME", m_strSavedHome, m_bHadHome);
        setenv("XDG_CONFIG_HOME", m_strXdg.c_str(), 1);
        SetSettingsDirProbe(nullptr);
        InitSettingsPathFor(m_strApp.c_str());
        ASSERT_STREQ(GetSettingsPath(), Ini().c_str());
    }

    void TearDown() override
    {
        SetSettingsDirProbe(nullptr);
        RestoreEnv("XDG_CONFIG_HOME", m_strSavedXdg, m_bHadXdg);
        RestoreEnv("HOME", m_strSavedHome, m_bHadHome);
        if (!m_strRoot.empty()) {
            chmod(m_strApp.c_str(), 0755);
            nftw(m_strRoot.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        }
    }

    std::string Ini() const { return m_strApp + "/Quillmark.ini"; }
    std::string XdgDir() const { return m_strXdg + "/Quillmark"; }

    static void SaveEnv(const char* pszName, std::string& strValue, bool& bHad)
    {
        const char* psz = std::getenv(pszName);
        bHad = psz != nullptr;
        strValue = bHad ? psz : "";
    }

    static void RestoreEnv(const char* pszName, const std::string& strValue, bool bHad)
    {
        if (bHad)
            setenv(pszName, strValue.c_str(), 1);
        else
            unsetenv(pszName);
    }

    std::string m_strRoot;
    std::string m_strApp;
    std::string m_strXdg;
    std::string m_strSavedXdg;
    std::string m_strSavedHome;
    bool m_bHadXdg = false;
    bool m_bHadHome = false;
};
