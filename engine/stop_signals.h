// Ctrl-C and friends for the programs without a window: SIGINT, SIGTERM and
// SIGHUP on POSIX (what Wireshark sends an extcap program to end a capture),
// Ctrl-C, Ctrl-Break and the console closing on Windows. The callback runs on
// a thread of the watcher's own, never inside a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class CStopSignals {
public:
    CStopSignals();
    ~CStopSignals();   // stops watching; the default actions return
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Call before any other thread starts (POSIX blocks the signals for the
    // whole process). fnStop gets the signal number each time one arrives.
    bool Watch(std::function<void(int32_t)> fnStop);

private:
    std::function<void(int32_t)> m_fnStop;
    std::thread m_thread;              // POSIX: the thread that waits for the signals
    std::atomic<bool> m_bQuit;
    uint32_t m_dwBlockedByUs;          // POSIX: bit n set: signal n was not blocked before Watch
    bool m_bWatching;
};
