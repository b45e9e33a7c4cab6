// qm-capture-bench: what waking up costs on this machine. A bare thread that
// only polls a pseudo-terminal and reads what arrives, fed every nPeriodUs,
// is the floor under any serial reader thread. HandOff also hands every piece
// to a second thread through a mutex and a condition variable, the least that
// a reader thread feeding a writer thread costs; PipeOut writes every piece to
// a pipe that another process reads, the least that a reader thread costs
// which passes each wake-up's bytes straight on to Wireshark, and the least
// latency from the line to that reader. The capture
// figures are read against these (on a loaded or virtual machine a wake-up
// can be a large share of the line-rate target by itself).
#pragma once

#include <cstdint>

struct CWakeFloor {
    double m_dCpuPercent = -1;   // of one core, both threads
    double m_dUsPerWake = -1;    // per piece read
    double m_dP50Ms = -1;        // PipeOut: write to the pty -> read by the other process
    double m_dP99Ms = -1;
};

enum class EFloorWork { Bare, HandOff, PipeOut };

CWakeFloor MeasureWakeFloor(int32_t nPeriodUs, int32_t nMs, EFloorWork eWork);
