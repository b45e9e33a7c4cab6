// The scan chart's geometry and texts, which both faces paint and hit-test:
// columns that tile the width, bars against the busiest channel, the labels
// under them, and the lines the scan leaves in the log.
#include "shell/model/scan_chart.h"

#include "engine/channels.h"

#include <gtest/gtest.h>

namespace {

constexpr int32_t WIDTH = 16 * 50 + 20;
constexpr int32_t HEIGHT = 300;
constexpr int32_t LINE = 16;

std::vector<CSurveyChannel> Channels()
{
    std::vector<CSurveyChannel> vecOut;
    for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n) {
        CSurveyChannel ch;
        ch.m_nChannel = n;
        vecOut.push_back(ch);
    }
    return vecOut;
}

CSurveyChannel& At(std::vector<CSurveyChannel>& vec, int32_t nChannel)
{
    return vec[static_cast<size_t>(nChannel - CHANNEL_FIRST)];
}

int32_t Height(const CScanRect& rc)
{
    return rc.m_nBottom - rc.m_nTop;
}

} // namespace

// Columns side by side left to right; the busiest bar is the tallest, a
// channel with one frame still shows, a silent one shows none; the column
// being listened to is marked and unvisited ones carry no count.
TEST(ScanChart, BarsFollowTheFramesHeard)
{
    std::vector<CSurveyChannel> vec = Channels();
    At(vec, 15).m_qwFrames = 1000;
    At(vec, 15).m_dwVisits = 1;
    At(vec, 20).m_qwFrames = 500;
    At(vec, 20).m_dwVisits = 1;
    At(vec, 21).m_qwFrames = 1;
    At(vec, 21).m_dwVisits = 1;
    At(vec, 11).m_dwVisits = 1;
    const std::vector<CScanBar> vecBars = LayoutScanChart(vec, 22, WIDTH, HEIGHT, LINE);
    ASSERT_EQ(vecBars.size(), static_cast<size_t>(CHANNEL_COUNT));
    for (size_t i = 0; i < vecBars.size(); ++i) {
        const CScanBar& bar = vecBars[i];
        EXPECT_EQ(bar.m_nChannel, CHANNEL_FIRST + static_cast<int32_t>(i));
        EXPECT_GE(bar.m_rcColumn.m_nLeft, 0);
        EXPECT_LE(bar.m_rcColumn.m_nRight, WIDTH);
        if (i > 0) {
            EXPECT_EQ(bar.m_rcColumn.m_nLeft, vecBars[i - 1].m_rcColumn.m_nRight);
        }
        EXPECT_GE(bar.m_rcCount.m_nTop, 0);
        EXPECT_LE(bar.m_rcBar.m_nBottom, bar.m_nLabelsTop);
        EXPECT_LE(bar.m_nLabelsTop + static_cast<int32_t>(bar.m_vecLabels.size()) * LINE, HEIGHT);
        EXPECT_EQ(bar.m_bNow, bar.m_nChannel == 22);
    }
    const CScanBar& bar15 = vecBars[15 - CHANNEL_FIRST];
    const CScanBar& bar20 = vecBars[20 - CHANNEL_FIRST];
    EXPECT_GT(Height(bar15.m_rcBar), 5 * LINE);
    EXPECT_NEAR(Height(bar20.m_rcBar), Height(bar15.m_rcBar) / 2, 1);
    EXPECT_GE(Height(vecBars[21 - CHANNEL_FIRST].m_rcBar), 2);
    EXPECT_EQ(Height(vecBars[12 - CHANNEL_FIRST].m_rcBar), 0);
    EXPECT_EQ(bar15.m_strCount, "1000");
    EXPECT_EQ(vecBars[11 - CHANNEL_FIRST].m_strCount, "0");   // visited, silent
    EXPECT_EQ(vecBars[22 - CHANNEL_FIRST].m_strCount, "0");   // being listened to
    EXPECT_EQ(vecBars[23 - CHANNEL_FIRST].m_strCount, "");    // not yet visited
}

// A click anywhere in a column takes its channel; outside the columns none.
TEST(ScanChart, ClicksFindTheirColumn)
{
    const std::vector<CScanBar> vecBars = LayoutScanChart(Channels(), 0, WIDTH, HEIGHT, LINE);
    for (const CScanBar& bar : vecBars) {
        const int32_t nMidX = (bar.m_rcColumn.m_nLeft + bar.m_rcColumn.m_nRight) / 2;
        EXPECT_EQ(ScanChannelAt(vecBars, nMidX, 1), bar.m_nChannel);
        EXPECT_EQ(ScanChannelAt(vecBars, bar.m_rcColumn.m_nLeft, HEIGHT - 1), bar.m_nChannel);
    }
    EXPECT_EQ(ScanChannelAt(vecBars, 0, HEIGHT / 2), 0);            // the left margin
    EXPECT_EQ(ScanChannelAt(vecBars, WIDTH - 1, HEIGHT / 2), 0);    // the right margin
    EXPECT_EQ(ScanChannelAt(vecBars, WIDTH / 2, HEIGHT), 0);
    EXPECT_TRUE(LayoutScanChart(Channels(), 0, 0, HEIGHT, LINE).empty());
    EXPECT_TRUE(LayoutScanChart({}, 0, WIDTH, HEIGHT, LINE).empty());
}

// Under each bar: the channel, at most three PAN IDs, "+N" for the rest.
TEST(ScanChart, LabelsNameTheChannelAndItsPans)
{
    std::vector<CSurveyChannel> vec = Channels();
    At(vec, 15).m_vecPanIds = { 0x1a62 };
    At(vec, 16).m_vecPanIds = { 0x0001, 0x0abc, 0x1a62, 0x7c01, 0xfffe };
    const std::vector<CScanBar> vecBars = LayoutScanChart(vec, 0, WIDTH, HEIGHT, LINE);
    EXPECT_EQ(vecBars[15 - CHANNEL_FIRST].m_vecLabels, (std::vector<std::string> { "15", "0x1a62" }));
    EXPECT_EQ(vecBars[16 - CHANNEL_FIRST].m_vecLabels,
        (std::vector<std::string> { "16", "0x0001", "0x0abc", "0x1a62", "+2" }));
    EXPECT_EQ(vecBars[26 - CHANNEL_FIRST].m_vecLabels, std::vector<std::string> { "26" });
    EXPECT_EQ(PanIdText(0xfffe), "0xfffe");
}

// The log: one line per channel that had frames, or one saying none had.
TEST(ScanChart, ResultLinesNameTheBusyChannels)
{
    std::vector<CSurveyChannel> vec = Channels();
    EXPECT_EQ(DescribeScanResult(vec), std::vector<std::string> { "Scan: nothing was heard on any channel" });
    At(vec, 15).m_qwFrames = 40;
    At(vec, 15).m_qwBeacons = 2;
    At(vec, 15).m_vecPanIds = { 0x1a62, 0x2b00 };
    At(vec, 25).m_qwFrames = 1;
    EXPECT_EQ(DescribeScanResult(vec), (std::vector<std::string> {
        "Channel 15: 40 frames, 2 beacons, PAN 0x1a62,0x2b00", "Channel 25: 1 frame" }));
    At(vec, 25).m_qwPanIdsOverflow = 3;
    At(vec, 25).m_vecPanIds = { 0x0001 };
    EXPECT_EQ(DescribeScanChannel(At(vec, 25)), "Channel 25: 1 frame, PAN 0x0001 and more");
}
