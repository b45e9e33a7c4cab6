// The survey's counts per channel: frames and bytes, beacons, the PAN IDs
// (both of a frame, the one implied by compression once, never the broadcast
// PAN) and the ZigBee extended PAN IDs, dwells; frames outside a channel
// ignored; bounded sets; TAP records; the headless line.
#include <gtest/gtest.h>

#include "common/mac_frames.h"
#include "engine/survey_counts.h"
#include "pcap/pcap_tap.h"

using namespace macframes;

namespace {

const uint64_t EXT_PAN = 0x00124B0001020304ull;

void Add(CSurveySink& sink, const Bytes& by)
{
    sink.AddRecord(by.data(), static_cast<int32_t>(by.size()), CPcapTime{0, 0});
}

TEST(SurveyCounts, FramesCountForTheChannelInForce)
{
    CSurveySink sink;
    Add(sink, DataFrame(0x1A62));   // no channel yet: ignored
    sink.SetChannel(15);
    const Bytes data = DataFrame(0x1A62);
    Add(sink, data);
    Add(sink, data);
    CFrameSpec s;   // uncompressed, extended addresses: both PANs
    s.m_nDstMode = s.m_nSrcMode = MODE_EXT;
    s.m_wDstPan = 0x0B0B;
    s.m_wSrcPan = 0x0A0A;
    const Bytes ext = Header(s, true, true);
    Add(sink, ext);
    const Bytes beacon = BeaconFrame(0x1A62, EXT_PAN);
    Add(sink, beacon);
    Add(sink, BeaconFrame(0x1A62, EXT_PAN));   // the same network again
    s = CFrameSpec();
    s.m_nType = TYPE_COMMAND;
    s.m_nSrcMode = MODE_NONE;
    s.m_wDstPan = 0xFFFF;
    const Bytes req = Header(s, true, false);   // beacon request: the broadcast PAN is none
    Add(sink, req);
    const Bytes cut = {0x41, 0x88, 0x01, 0x99};   // PAN ID cut in half
    Add(sink, cut);
    sink.SetChannel(20);
    Add(sink, BeaconFrame(0x2B00, EXT_PAN + 1, false));
    sink.SetChannel(0);
    Add(sink, data);
    sink.SetChannel(27);
    Add(sink, data);
    sink.EndDwell(15);
    sink.EndDwell(15);
    sink.EndDwell(20);
    sink.EndDwell(10);   // outside: ignored

    const CSurveyChannel ch15 = sink.GetChannel(15);
    EXPECT_EQ(ch15.m_nChannel, 15);
    EXPECT_EQ(ch15.m_qwFrames, 7u);
    EXPECT_EQ(ch15.m_qwBytes, 2 * data.size() + ext.size() + 2 * beacon.size() + req.size() + cut.size());
    EXPECT_EQ(ch15.m_qwBeacons, 2u);
    EXPECT_EQ(ch15.m_vecPanIds, (std::vector<uint16_t>{0x0A0A, 0x0B0B, 0x1A62}));
    EXPECT_EQ(ch15.m_vecExtPanIds, (std::vector<uint64_t>{EXT_PAN}));
    EXPECT_EQ(ch15.m_dwVisits, 2u);

    const CSurveyChannel ch20 = sink.GetChannel(20);
    EXPECT_EQ(ch20.m_qwFrames, 1u);
    EXPECT_EQ(ch20.m_qwBeacons, 1u);
    EXPECT_EQ(ch20.m_vecPanIds, (std::vector<uint16_t>{0x2B00}));
    EXPECT_TRUE(ch20.m_vecExtPanIds.empty()) << "not a ZigBee beacon";
    EXPECT_EQ(ch20.m_dwVisits, 1u);

    const std::vector<CSurveyChannel> vec = sink.GetChannels();
    ASSERT_EQ(vec.size(), static_cast<size_t>(CHANNEL_COUNT));
    uint64_t qwFrames = 0;
    for (size_t i = 0; i < vec.size(); ++i) {
        EXPECT_EQ(vec[i].m_nChannel, CHANNEL_FIRST + static_cast<int32_t>(i));
        qwFrames += vec[i].m_qwFrames;
    }
    EXPECT_EQ(qwFrames, 8u) << "a frame outside a channel was counted";
    EXPECT_EQ(sink.GetChannel(27).m_qwFrames, 0u);

    sink.Reset();
    EXPECT_EQ(sink.GetChannel(15).m_qwFrames, 0u);
    EXPECT_TRUE(sink.GetChannel(15).m_vecPanIds.empty());
    EXPECT_EQ(sink.GetChannel(15).m_dwVisits, 0u);
    EXPECT_EQ(sink.GetChannel(15).m_nChannel, 15);
}

TEST(SurveyCounts, PanSetsAreBoundedAndTapRecordsAreRead)
{
    CSurveySink sink;
    sink.SetChannel(11);
    for (uint16_t w = 0; w < 100; ++w)
        Add(sink, DataFrame(static_cast<uint16_t>(0x3000 + w)));
    Add(sink, DataFrame(0x3000));   // kept already: no overflow
    const CSurveyChannel ch = sink.GetChannel(11);
    ASSERT_EQ(ch.m_vecPanIds.size(), SURVEY_MAX_PAN_IDS);
    EXPECT_EQ(ch.m_vecPanIds.front(), 0x3000);
    EXPECT_EQ(ch.m_vecPanIds.back(), 0x3000 + SURVEY_MAX_PAN_IDS - 1);
    EXPECT_EQ(ch.m_qwPanIdsOverflow, 100u - SURVEY_MAX_PAN_IDS);
    EXPECT_EQ(ch.m_qwFrames, 101u);

    // TAP: the header is skipped, the MAC frame counted; a record too short
    // for the length its header claims is not counted.
    CSurveySink tap;
    tap.SetLinkType(EPcapLinkType::Ieee802154Tap);
    tap.SetChannel(25);
    const Bytes mac = BeaconFrame(0x4D00, EXT_PAN);
    Bytes rec(PCAP_TAP_HEADER_LEN);
    ASSERT_EQ(BuildTapHeader(rec.data(), PCAP_TAP_HEADER_LEN, 25), PCAP_TAP_HEADER_LEN);
    rec.insert(rec.end(), mac.begin(), mac.end());
    Add(tap, rec);
    Add(tap, Bytes(rec.begin(), rec.begin() + PCAP_TAP_HEADER_LEN - 1));
    const CSurveyChannel ch25 = tap.GetChannel(25);
    EXPECT_EQ(ch25.m_qwFrames, 1u);
    EXPECT_EQ(ch25.m_qwBytes, mac.size());
    EXPECT_EQ(ch25.m_vecPanIds, (std::vector<uint16_t>{0x4D00}));
    EXPECT_EQ(ch25.m_vecExtPanIds, (std::vector<uint64_t>{EXT_PAN}));
}

TEST(SurveyCounts, HeadlessLine)
{
    CSurveyChannel ch;
    ch.m_nChannel = 12;
    EXPECT_EQ(FormatSurveyLine(ch), "12  frames 0  bytes 0  beacons 0  PAN -");
    ch.m_nChannel = 15;
    ch.m_qwFrames = 40;
    ch.m_qwBytes = 1880;
    ch.m_qwBeacons = 2;
    ch.m_vecPanIds = {0x00AB, 0x1A62};
    ch.m_vecExtPanIds = {EXT_PAN, 0xDDDDDDDDDDDDDDDDull};
    EXPECT_EQ(FormatSurveyLine(ch), "15  frames 40  bytes 1880  beacons 2  PAN 0x00ab,0x1a62"
                                    "  extended PAN 00:12:4b:00:01:02:03:04,dd:dd:dd:dd:dd:dd:dd:dd");
    ch.m_qwPanIdsOverflow = 7;
    ch.m_vecExtPanIds.clear();
    ch.m_qwFrames = 12345678901234ull;
    EXPECT_EQ(FormatSurveyLine(ch), "15  frames 12345678901234  bytes 1880  beacons 2  PAN 0x00ab,0x1a62 +7 more");
}

} // namespace
