// Shared by the pipe tests: a private temp directory that also serves as
// XDG_RUNTIME_DIR, launcher scripts for the fake Wireshark, waiting for files,
// capturing standard output and reading captures back with libpcap.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/command_output_posix.h"
#include "common/temp_dir_posix.h"
#include "pcap/pcap_pipe.h"

extern char** environ;

struct SRecord {
    uint32_t m_dwSec;
    uint32_t m_dwUsec;
    uint32_t m_dwCapLen;
    uint32_t m_dwOrigLen;
    std::vector<uint8_t> m_byData;
    uint64_t Usec() const { return static_cast<uint64_t>(m_dwSec) * 1000000u + m_dwUsec; }
};

struct SCapture {
    bool m_bOk = false;
    std::string m_strError;
    int m_nLinkType = -1;
    int m_nSnapLen = -1;
    std::vector<SRecord> m_records;
};

inline SCapture ReadCapture(const std::string& strPath)
{
    SCapture cap;
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(strPath.c_str(), szErr);
    if (p == nullptr) {
        cap.m_strError = szErr;
        return cap;
    }
    cap.m_nLinkType = pcap_datalink(p);
    cap.m_nSnapLen = pcap_snapshot(p);
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc;
    while ((nRc = pcap_next_ex(p, &pHdr, &pData)) == 1) {
        SRecord rec;
        rec.m_dwSec = static_cast<uint32_t>(pHdr->ts.tv_sec);
        rec.m_dwUsec = static_cast<uint32_t>(pHdr->ts.tv_usec);
        rec.m_dwCapLen = pHdr->caplen;
        rec.m_dwOrigLen = pHdr->len;
        rec.m_byData.assign(pData, pData + pHdr->caplen);
        cap.m_records.push_back(std::move(rec));
    }
    cap.m_bOk = nRc == PCAP_ERROR_BREAK;   // clean end of file, no truncated record
    if (!cap.m_bOk)
        cap.m_strError = pcap_geterr(p);
    pcap_close(p);
    return cap;
}

inline std::string ReadFileText(const std::string& strPath)
{
    std::string str;
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return str;
    char szBuf[4096];
    size_t n;
    while ((n = fread(szBuf, 1, sizeof szBuf, pFile)) > 0)
        str.append(szBuf, n);
    fclose(pFile);
    return str;
}

inline void WriteFileText(const std::string& strPath, const std::string& strText, mode_t mode = 0600)
{
    const int nFd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(nFd, 0) << strPath << ": " << strerror(errno);
    ASSERT_EQ(write(nFd, strText.data(), strText.size()), static_cast<ssize_t>(strText.size()));
    close(nFd);
    chmod(strPath.c_str(), mode);
}

inline bool PathExists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

inline ino_t InodeOf(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

inline bool IsFifo(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Polls for a file for up to nMs; the helpers rename their output into place
// when they are done, so its appearance is the signal.
inline bool WaitForFile(const std::string& strPath, int nMs = 10000)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!PathExists(strPath)) {
        if (std::chrono::steady_clock::now() > tEnd)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The state field of /proc/<pid>/stat, 0 when the process is gone.
inline char ProcessState(pid_t pid)
{
    const std::string str = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
    const size_t nParen = str.rfind(')');
    return nParen != std::string::npos && nParen + 2 < str.size() ? str[nParen + 2] : 0;
}

// Children of this process that are zombies.
inline int CountZombieChildren()
{
    int nZombies = 0;
    const std::string strMe = std::to_string(getpid());
    std::vector<pid_t> vPids;
    DIR* pProc = opendir("/proc");
    if (pProc == nullptr)
        return -1;
    while (struct dirent* pEnt = readdir(pProc)) {
        char* pEnd = nullptr;
        const long nPid = strtol(pEnt->d_name, &pEnd, 10);
        if (nPid > 0 && *pEnd == '\0')
            vPids.push_back(static_cast<pid_t>(nPid));
    }
    closedir(pProc);
    for (pid_t pid : vPids) {
        const std::string str = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
        const size_t nParen = str.rfind(')');
        if (nParen == std::string::npos)
            continue;
        char cState = 0;
        long nPpid = 0;
        if (sscanf(str.c_str() + nParen + 1, " %c %ld", &cState, &nPpid) == 2 && cState == 'Z'
            && std::to_string(nPpid) == strMe)
            ++nZombies;
    }
    return nZombies;
}

// Redirects standard output (fd 1) into a file until Stop().
class CStdoutCapture {
public:
    explicit CStdoutCapture(const std::string& strFile) : m_strFile(strFile)
    {
        fflush(stdout);
        m_nSaved = dup(1);
        const int nFd = open(strFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(nFd, 1);
        close(nFd);
    }
    ~CStdoutCapture() { Stop(); }
    std::string Stop()
    {
        if (m_nSaved >= 0) {
            fflush(stdout);
            dup2(m_nSaved, 1);
            close(m_nSaved);
            m_nSaved = -1;
        }
        return ReadFileText(m_strFile);
    }

private:
    std::string m_strFile;
    int m_nSaved = -1;
};

// Records the pipe's events (they come on its writer thread) for the test
// thread to wait on.
class CPipeEventLog : public IPcapPipeEvents {
public:
    void OnPipeEvent(int32_t nEvent) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vEvents.push_back(nEvent);
        m_cv.notify_all();
    }
    // True once nEvent has been reported (at any time since the last Clear).
    bool WaitFor(int32_t nEvent, int nMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), [&] {
            for (int32_t n : m_vEvents)
                if (n == nEvent)
                    return true;
            return false;
        });
    }
    std::vector<int32_t> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vEvents;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vEvents.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<int32_t> m_vEvents;
};

// Waits until the writer thread has delivered qwRecords records in all.
inline bool WaitDelivered(const CPcapPipe& pipe, uint64_t qwRecords, int nMs = 10000)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (pipe.GetStats().m_qwRecordsDelivered < qwRecords) {
        if (std::chrono::steady_clock::now() > tEnd)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_strDir = m_tmp.Path();
        m_strRun = m_strDir + "/run";
        ASSERT_EQ(mkdir(m_strRun.c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", m_strRun.c_str(), 1);
        m_strFifo = m_strRun + "/quillmark/wireshark0";
    }

    void TearDown() override
    {
        for (pid_t pid : m_vSpawned) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        unsetenv("XDG_RUNTIME_DIR");
    }

    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }

    // A launcher script that runs the fake Wireshark with these options in
    // front of what CPcapPipe passes ("-i FIFO -k").
    std::string FakeLauncher(const std::string& strName, const std::string& strOptions)
    {
        const std::string strScript = Path(strName);
        WriteFileText(strScript, "#!/bin/sh\nexec '" QM_FAKE_WIRESHARK "' " + strOptions + " \"$@\"\n", 0700);
        return strScript;
    }

    // Starts the fake as our own child, the way a user would start a client.
    pid_t SpawnFake(const std::vector<std::string>& vArgs)
    {
        std::vector<std::string> vAll = {QM_FAKE_WIRESHARK};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        std::vector<char*> vArgv;
        for (auto& str : vAll)
            vArgv.push_back(str.data());
        vArgv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, QM_FAKE_WIRESHARK, nullptr, nullptr, vArgv.data(), environ) != 0)
            return -1;
        m_vSpawned.push_back(pid);
        return pid;
    }

    int WaitChild(pid_t pid)
    {
        int nStatus = -1;
        waitpid(pid, &nStatus, 0);
        for (auto it = m_vSpawned.begin(); it != m_vSpawned.end(); ++it) {
            if (*it == pid) {
                m_vSpawned.erase(it);
                break;
            }
        }
        return nStatus;
    }

    // The pid the fake wrote to its info file.
    static pid_t InfoPid(const std::string& strInfo)
    {
        return static_cast<pid_t>(atol(ReadFileText(strInfo).c_str()));
    }

    CTestTempDir m_tmp{"qm-pipe-test"};   // removed with the fixture
    std::string m_strDir;
    std::string m_strRun;
    std::string m_strFifo;
    std::vector<pid_t> m_vSpawned;
};

inline std::vector<uint8_t> Payload(size_t nLen, uint8_t bySeed)
{
    std::vector<uint8_t> v(nLen);
    for (size_t i = 0; i < nLen; ++i)
        v[i] = static_cast<uint8_t>(bySeed + i * 7);
    return v;
}
