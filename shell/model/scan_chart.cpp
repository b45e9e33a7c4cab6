#include "shell/model/scan_chart.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int32_t BAR_MIN_PX = 2;   // a channel with one frame still shows a bar
constexpr const char* TEXT_NOTHING_HEARD = "Scan: nothing was heard on any channel";

std::string JoinPanIds(const std::vector<uint16_t>& vecIds)
{
    std::string strOut;
    for (uint16_t wId : vecIds) {
        if (!strOut.empty())
            strOut += ',';
        strOut += PanIdText(wId);
    }
    return strOut;
}

std::vector<std::string> ColumnLabels(const CSurveyChannel& ch)
{
    std::vector<std::string> vecLines { std::to_string(ch.m_nChannel) };
    const size_t nShown = std::min(ch.m_vecPanIds.size(), static_cast<size_t>(SCAN_PAN_LINES_MAX));
    for (size_t i = 0; i < nShown; ++i)
        vecLines.push_back(PanIdText(ch.m_vecPanIds[i]));
    // A full set (noise) has far more than the lines show: "+N" says so.
    if (ch.m_vecPanIds.size() > nShown)
        vecLines.push_back(std::string("+") + std::to_string(ch.m_vecPanIds.size() - nShown));
    return vecLines;
}

} // namespace

std::string PanIdText(uint16_t wPanId)
{
    char szText[8];
    std::snprintf(szText, sizeof(szText), "0x%04x", static_cast<unsigned>(wPanId));
    return szText;
}

// Rows from the top: the count line, the bars, the channel line and the PAN
// lines; columns share the width evenly.
std::vector<CScanBar> LayoutScanChart(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow,
    int32_t nWidth, int32_t nHeight, int32_t nLineHeight)
{
    std::vector<CScanBar> vecBars;
    if (vecChannels.empty() || nWidth <= 0 || nHeight <= 0)
        return vecBars;
    const int32_t nLine = std::max(nLineHeight, 1);
    const int32_t nMargin = nLine / 2;
    const int32_t nColumns = static_cast<int32_t>(vecChannels.size());
    const int32_t nColumnWidth = std::max((nWidth - 2 * nMargin) / nColumns, 1);
    const int32_t nBarsTop = nMargin + nLine;
    const int32_t nLabelsTop = std::max(nHeight - nMargin - (2 + SCAN_PAN_LINES_MAX) * nLine, nBarsTop);
    const int32_t nBarsBottom = nLabelsTop - nLine / 4;
    const int32_t nBarSpace = std::max(nBarsBottom - nBarsTop, 0);
    uint64_t qwMax = 0;
    for (const CSurveyChannel& ch : vecChannels)
        qwMax = std::max(qwMax, ch.m_qwFrames);
    for (int32_t i = 0; i < nColumns; ++i) {
        const CSurveyChannel& ch = vecChannels[static_cast<size_t>(i)];
        CScanBar bar;
        bar.m_nChannel = ch.m_nChannel;
        bar.m_bNow = ch.m_nChannel == nChannelNow;
        bar.m_bVisited = bar.m_bNow || ch.m_dwVisits != 0 || ch.m_qwFrames != 0;
        const int32_t nLeft = nMargin + i * nColumnWidth;
        bar.m_rcColumn = { nLeft, 0, nLeft + nColumnWidth, nHeight };
        int32_t nBarHeight = 0;
        if (qwMax != 0 && ch.m_qwFrames != 0)
            nBarHeight = std::max(static_cast<int32_t>(ch.m_qwFrames * static_cast<uint64_t>(nBarSpace) / qwMax),
                std::min(BAR_MIN_PX, nBarSpace));
        const int32_t nInset = nColumnWidth / 5;
        bar.m_rcBar = { nLeft + nInset, nBarsBottom - nBarHeight, nLeft + nColumnWidth - nInset, nBarsBottom };
        bar.m_rcCount = { nLeft, bar.m_rcBar.m_nTop - nLine, nLeft + nColumnWidth, bar.m_rcBar.m_nTop };
        if (bar.m_bVisited)
            bar.m_strCount = std::to_string(ch.m_qwFrames);
        bar.m_nLabelsTop = nLabelsTop;
        bar.m_vecLabels = ColumnLabels(ch);
        vecBars.push_back(std::move(bar));
    }
    return vecBars;
}

int32_t ScanChannelAt(const std::vector<CScanBar>& vecBars, int32_t nX, int32_t nY)
{
    for (const CScanBar& bar : vecBars) {
        if (bar.m_rcColumn.Contains(nX, nY))
            return bar.m_nChannel;
    }
    return 0;
}

std::string DescribeScanChannel(const CSurveyChannel& ch)
{
    std::string strLine = std::string("Channel ") + std::to_string(ch.m_nChannel) + ": " + std::to_string(ch.m_qwFrames)
        + (ch.m_qwFrames == 1 ? " frame" : " frames");
    if (ch.m_qwBeacons != 0)
        strLine.append(", ").append(std::to_string(ch.m_qwBeacons)).append(ch.m_qwBeacons == 1 ? " beacon" : " beacons");
    if (!ch.m_vecPanIds.empty())
        strLine.append(", PAN ").append(JoinPanIds(ch.m_vecPanIds));
    if (ch.m_qwPanIdsOverflow != 0)
        strLine += " and more";
    return strLine;
}

std::vector<std::string> DescribeScanResult(const std::vector<CSurveyChannel>& vecChannels)
{
    std::vector<std::string> vecLines;
    for (const CSurveyChannel& ch : vecChannels) {
        if (ch.m_qwFrames != 0)
            vecLines.push_back(DescribeScanChannel(ch));
    }
    if (vecLines.empty())
        vecLines.emplace_back(TEXT_NOTHING_HEARD);
    return vecLines;
}
