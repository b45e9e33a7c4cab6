// Bounded waits that keep the portable window loop (qm_wnd_loop) turning, for
// tests whose code under test gets its work as posted messages and timers.
#pragma once

#include <chrono>
#include <functional>

#include "link/msg_loop.h"

// Turns the loop until fnDone() holds or nTimeoutMs pass; returns fnDone().
inline bool WaitUntil(const std::function<bool()>& fnDone, int nTimeoutMs)
{
    constexpr uint32_t SLICE_MS = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return fnDone();
        MsgLoopRunFor(SLICE_MS);
    }
    return true;
}

// Turns the loop for nMs.
inline void PumpFor(int nMs)
{
    WaitUntil([] { return false; }, nMs);
}
