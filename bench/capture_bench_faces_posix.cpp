#include "bench/capture_bench_faces.h"

#include <cstdio>
#include <cstring>

#include "bench/capture_bench_frames.h"
#include "bench/capture_bench_phases.h"

namespace {

constexpr const char* RESULT_TAG = "headless-result ";

} // namespace

CFaceFigures RunHeadlessFace(const std::string& strProgram, double dSeconds)
{
    CFaceFigures fig;
    const std::string strCommand = "'" + strProgram + "' --line-seconds " + std::to_string(dSeconds);
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) {
        fig.m_strError = "cannot run " + strProgram;
        return fig;
    }
    char szLine[1024];
    while (std::fgets(szLine, sizeof(szLine), pPipe) != nullptr) {
        if (std::strncmp(szLine, RESULT_TAG, std::strlen(RESULT_TAG)) != 0) {
            std::fputs(szLine, stdout);
            continue;
        }
        int nWhole = 0;
        fig.m_bRan = std::sscanf(szLine + std::strlen(RESULT_TAG), "%lf %lf %d %lf %lf %lf %lf %lf %lf %lf",
                                 &fig.m_dFramesCpuPercent, &fig.m_dChunksCpuPercent, &nWhole, &fig.m_dStampP50Us,
                                 &fig.m_dStampP99Us, &fig.m_dStampMaxUs, &fig.m_dFramesFloorPercent,
                                 &fig.m_dChunksFloorPercent, &fig.m_dFramesRatio, &fig.m_dChunksRatio) == 10;
        fig.m_bWhole = nWhole == 1;
    }
    if (pclose(pPipe) != 0 || !fig.m_bRan) {
        fig.m_bRan = false;
        fig.m_strError = strProgram + " did not run through";
    }
    return fig;
}

double FloorRatio(double dCpuPercent, double dFloorPercent)
{
    return dCpuPercent < 0 || dFloorPercent <= 0 ? -1 : dCpuPercent / dFloorPercent;
}
