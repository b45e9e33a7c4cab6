// The scan window's chart without a toolkit: one column per channel 11..26,
// a bar as high as the frames heard there against the busiest channel, the
// count above it, the channel and its PAN IDs below. Both faces paint what
// LayoutScanChart gives and hit-test clicks with ScanChannelAt, so the two
// look and answer alike. Also the scan's texts and its log lines.
#pragma once

#include "engine/survey_counts.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr const char* STR_SCAN_TITLE = "Channel scan";
constexpr const char* STR_SCAN_HINT_RUNNING = "Listening on each channel in turn; click a channel to capture on it";
constexpr const char* STR_SCAN_HINT_DONE = "Scan done: click a channel to capture on it";
// PAN IDs a column lists; the rest are counted in a "+N" line.
constexpr int32_t SCAN_PAN_LINES_MAX = 3;
// Narrower columns could not hold "0x1a62" in the dialog font.
constexpr int32_t SCAN_COLUMN_MIN_PX = 46;
constexpr int32_t SCAN_CHART_MIN_HEIGHT_PX = 220;

struct CScanRect {
    int32_t m_nLeft = 0;
    int32_t m_nTop = 0;
    int32_t m_nRight = 0;
    int32_t m_nBottom = 0;
    bool Contains(int32_t nX, int32_t nY) const { return nX >= m_nLeft && nX < m_nRight && nY >= m_nTop && nY < m_nBottom; }
};

struct CScanBar {
    int32_t m_nChannel = 0;
    bool m_bNow = false;          // being listened to now: highlighted
    bool m_bVisited = false;      // a dwell was done, or runs, there
    CScanRect m_rcColumn;         // a click anywhere in it takes the channel
    CScanRect m_rcBar;            // empty (top == bottom) with no frames
    CScanRect m_rcCount;          // the line just above the bar
    std::string m_strCount;       // frames heard; empty before the first visit
    // Under the bar, one line each from m_nLabelsTop on: the channel, then
    // its PAN IDs ("0x1a62"), then "+N" for those not listed.
    int32_t m_nLabelsTop = 0;
    std::vector<std::string> m_vecLabels;
};

// "0x1a62".
std::string PanIdText(uint16_t wPanId);
// The chart in a client area of nWidth x nHeight pixels whose text lines are
// nLineHeight high; vecChannels in channel order (GetChannels()).
std::vector<CScanBar> LayoutScanChart(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow,
    int32_t nWidth, int32_t nHeight, int32_t nLineHeight);
// The channel whose column holds the point; 0 outside every column.
int32_t ScanChannelAt(const std::vector<CScanBar>& vecBars, int32_t nX, int32_t nY);
// A log line for a channel that had frames: "Channel 15: 40 frames, 2 beacons, PAN 0x1a62,0x2b00".
std::string DescribeScanChannel(const CSurveyChannel& ch);
// The scan's closing lines: one per channel with frames, or one that says nothing was heard.
std::vector<std::string> DescribeScanResult(const std::vector<CSurveyChannel>& vecChannels);
