// qm-capture-bench: what waking up costs on this machine. A bare thread that
// only polls a pseudo-terminal and reads what arrives, fed every nPeriodUs,
// is the floor under any serial reader thread. HandOff also hands every piece
// to a second thread through a mutex and a condition variable, the least that
// a reader thread feeding a writer thread costs; PipeOut writes every piece to
// a pipe that another process reads, the least that a reader thread costs
// which passes each wake-up's bytes straight on to Wireshark. The capture
// figures are read against these (on a loaded or virtual machine a wake-up
// can be a large share of the line-rate target by itself).
#pragma once

#include <cstdint>

struct CWakeFloor {
    double m_dCpuPercent = -1;   // of one core, both threads
    double m_dUsPerWake = -1;    // per piece read
};

enum class EFloorWork { Bare, HandOff, PipeOut };

CWakeFloor MeasureWakeFloor(int32_t nPeriodUs, int32_t nMs, EFloorWork eWork);
