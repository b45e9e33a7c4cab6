#include "bench/capture_bench_faces.h"

#include <cstdio>
#include <cstring>

#include "bench/capture_bench_frames.h"
#include "bench/capture_bench_phases.h"

namespace {

constexpr const char* RESULT_TAG = "headless-result ";
constexpr uint32_t FRAME_MIX = 1000;   // the payload lengths cycle within this many frames

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
        fig.m_bRan = std::sscanf(szLine + std::strlen(RESULT_TAG), "%lf %lf %d %lf %lf %lf %lf %lf",
                                 &fig.m_dFramesCpuPercent, &fig.m_dChunksCpuPercent, &nWhole, &fig.m_dStampP50Us,
                                 &fig.m_dStampP99Us, &fig.m_dStampMaxUs, &fig.m_dFramesFloorPercent,
                                 &fig.m_dChunksFloorPercent) == 8;
        fig.m_bWhole = nWhole == 1;
    }
    if (pclose(pPipe) != 0 || !fig.m_bRan) {
        fig.m_bRan = false;
        fig.m_strError = strProgram + " did not run through";
    }
    return fig;
}

int32_t BenchFramePeriodUs()
{
    uint64_t qwBytes = 0;
    for (uint32_t dwSeq = 0; dwSeq < FRAME_MIX; ++dwSeq)
        qwBytes += static_cast<uint64_t>(BenchFrameLength(dwSeq));
    return static_cast<int32_t>(static_cast<double>(qwBytes) / FRAME_MIX * 1e6 / BENCH_LINE_RATE);
}

double FloorRatio(double dCpuPercent, double dFloorPercent)
{
    return dCpuPercent < 0 || dFloorPercent <= 0 ? -1 : dCpuPercent / dFloorPercent;
}
