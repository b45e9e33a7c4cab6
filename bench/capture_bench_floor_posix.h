// qm-capture-bench: what waking up costs on this machine. A bare thread that
// only polls a pseudo-terminal and reads what arrives, fed every nPeriodUs,
// is the floor under any serial reader thread: the capture figures are read
// against it (on a loaded or virtual machine it can be a large share of the
// line-rate target by itself).
#pragma once

#include <cstdint>

struct CWakeFloor {
    double m_dCpuPercent = -1;   // of one core
    double m_dUsPerWake = -1;
};

CWakeFloor MeasureWakeFloor(int32_t nPeriodUs, int32_t nMs);
