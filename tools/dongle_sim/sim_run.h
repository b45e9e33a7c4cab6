// The simulator's main loop: moves bytes between the line and the engine and
// sleeps until the next thing is due.
#pragma once

#include <cstdint>

class CSimEngine;
class CSimPort;
class ISimEvents;

enum ESimRunEnd : int32_t {
    SIM_END_STOPPED = 0,   // a stop signal
    SIM_END_HUNG_UP = 1,   // --hangup-after reached; the line is closed
    SIM_END_LINE_LOST = 2, // the line failed
};

// Microseconds of a monotonic clock.
uint64_t SimNowUs();

int32_t RunSimLoop(CSimPort& port, CSimEngine& engine, ISimEvents& events);
