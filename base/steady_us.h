// Microseconds on the steady clock: the one time base of the short waits that
// pass between layers (a wake-up the serial reader is asked for, the records
// a sink holds back), never a wall-clock time.
#pragma once

#include <chrono>
#include <cstdint>

inline uint64_t SteadyNowUs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}
