// A monotonic millisecond clock for the tests' deadlines and timings.
#pragma once

#include <chrono>
#include <cstdint>

inline int64_t TestNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
