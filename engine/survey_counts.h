// What a channel survey found on each channel: the frames and bytes heard,
// the beacons, the PAN IDs and the ZigBee extended PAN IDs seen, and how many
// dwells were done there. The survey's frames land in CSurveySink instead of
// an output; the engine tells it the channel the radio is on and when a
// dwell ends.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/channels.h"
#include "pcap/pcap_record_sink.h"

// Noise can look like any PAN ID: each set keeps this many, the rest are
// only counted.
constexpr size_t SURVEY_MAX_PAN_IDS = 64;

struct CSurveyChannel {
    int32_t m_nChannel = 0;
    uint64_t m_qwFrames = 0;
    uint64_t m_qwBytes = 0;               // MAC bytes (without FCS)
    uint64_t m_qwBeacons = 0;
    std::vector<uint16_t> m_vecPanIds;    // sorted, distinct
    std::vector<uint64_t> m_vecExtPanIds; // sorted, distinct, from ZigBee beacons
    uint64_t m_qwPanIdsOverflow = 0;      // frames whose new PAN ID found the set full
    uint64_t m_qwExtPanIdsOverflow = 0;
    uint32_t m_dwVisits = 0;              // dwells done on it
};

class CSurveySink : public IPcapRecordSink {
public:
    CSurveySink();

    // Any thread: frames from now on count for nChannel (0, or outside
    // CHANNEL_FIRST..CHANNEL_LAST: frames are ignored).
    void SetChannel(int32_t nChannel);
    // Window thread: one more dwell done on nChannel (ignored outside the range).
    void EndDwell(int32_t nChannel);
    // Before the survey: what the records are (default 195, the MAC frame
    // itself; TAP: the MAC frame behind a TAP header, which is skipped).
    void SetLinkType(EPcapLinkType eLinkType);
    // Any thread: every count back to zero.
    void Reset();
    // Any thread, a consistent snapshot; a channel outside the range is empty.
    CSurveyChannel GetChannel(int32_t nChannel) const;
    // CHANNEL_FIRST..CHANNEL_LAST in order.
    std::vector<CSurveyChannel> GetChannels() const;

    // Serial reader thread: one record of the link type set.
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;

private:
    static size_t IndexOf(int32_t nChannel);

    std::atomic<int32_t> m_nChannel;
    std::atomic<EPcapLinkType> m_eLinkType;
    mutable std::mutex m_mutex;   // guards m_arrChannels
    std::array<CSurveyChannel, CHANNEL_COUNT> m_arrChannels;
};

// One line for the headless survey, beginning with the channel number:
// "15  frames 40  bytes 1880  beacons 2  PAN 0x1a62,0x2b00  extended PAN 00:12:4b:00:01:02:03:04"
// or "12  frames 0  bytes 0  beacons 0  PAN -". Extended PAN IDs are written
// most significant byte first (as Wireshark shows them); a set that was full
// ends in " +N more" (N: later sightings of IDs not kept, repeats counted).
std::string FormatSurveyLine(const CSurveyChannel& ch);
