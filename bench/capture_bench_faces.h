// qm-capture-bench: the faces side by side. The headless session's line-rate
// runs come from qm-capture-headless-bench (its own process: the two window
// backends cannot share one), read back from its last line; each face's
// line-rate CPU is read against the bare relay measured alongside that run.
#pragma once

#include <string>

struct CFaceFigures {
    bool m_bRan = false;
    std::string m_strError;
    double m_dFramesCpuPercent = -1;   // line rate, one write per frame
    double m_dChunksCpuPercent = -1;   // line rate, 1 ms chunks
    bool m_bWhole = false;             // every frame reached the reader whole
    double m_dStampP50Us = -1;         // time stamp error, one write per frame
    double m_dStampP99Us = -1;
    double m_dStampMaxUs = -1;
    double m_dFramesFloorPercent = -1;   // the bare relay alongside each run
    double m_dChunksFloorPercent = -1;
    double m_dFramesRatio = -1;          // against the relay: the median of the slices' ratios
    double m_dChunksRatio = -1;
};

// Runs strProgram --line-seconds dSeconds, echoing its lines; its figures.
CFaceFigures RunHeadlessFace(const std::string& strProgram, double dSeconds);
// dCpu / dFloor, -1 when either is missing.
double FloorRatio(double dCpuPercent, double dFloorPercent);
