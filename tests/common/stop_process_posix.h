// Pausing a reader process for a test, for real: kill(SIGSTOP) returns before
// the process has stopped, and a reader woken by the signal on a busy machine
// still takes whatever data reached its pipe in the meantime. Waiting until
// the kernel shows it stopped makes "the reader holds nothing more" true.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

inline bool StopProcessAndWait(pid_t pid, int nTimeoutMs = 5000)
{
    if (kill(pid, SIGSTOP) != 0)
        return false;
    const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (std::chrono::steady_clock::now() < tmEnd) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string strStat((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t nParen = strStat.rfind(')');
        if (nParen != std::string::npos && nParen + 2 < strStat.size()) {
            const char chState = strStat[nParen + 2];
            if (chState == 'T' || chState == 't')
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
