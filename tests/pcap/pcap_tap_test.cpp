// The link type of a stream: the global header names it, and each record
// header declares the frame on the air two bytes longer for 195 (the FCS the
// dongle replaced) and exactly as long for TAP. The TAP header itself, byte
// by byte, and the buffers and channels it refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pcap/pcap_stream.h"
#include "pcap/pcap_tap.h"

namespace {

typedef std::vector<uint8_t> Bytes;

uint32_t Le32At(const Bytes& by, size_t n)
{
    return static_cast<uint32_t>(by[n]) | static_cast<uint32_t>(by[n + 1]) << 8 |
           static_cast<uint32_t>(by[n + 2]) << 16 | static_cast<uint32_t>(by[n + 3]) << 24;
}

class CVectorSink : public IByteSink {
public:
    int32_t WriteBytes(const uint8_t* p, int32_t n) override
    {
        m_by.insert(m_by.end(), p, p + n);
        return n;
    }
    Bytes m_by;
};

TEST(PcapLinkType, HeadersFollowTheLinkType)
{
    Bytes by(PCAP_GLOBAL_HEADER_LEN);
    BuildPcapGlobalHeader(by.data());
    EXPECT_EQ(Le32At(by, 20), 195u) << "the default stays 195 for existing callers";
    BuildPcapGlobalHeader(by.data(), EPcapLinkType::Ieee802154Tap);
    EXPECT_EQ(Le32At(by, 20), 283u);

    Bytes rec(PCAP_RECORD_HEADER_LEN);
    BuildPcapRecordHeader(rec.data(), 40, CPcapTime{1, 2});
    EXPECT_EQ(Le32At(rec, 8), 40u);
    EXPECT_EQ(Le32At(rec, 12), 42u);
    BuildPcapRecordHeader(rec.data(), 40, CPcapTime{1, 2}, EPcapLinkType::Ieee802154Tap);
    EXPECT_EQ(Le32At(rec, 8), 40u);
    EXPECT_EQ(Le32At(rec, 12), 40u) << "TAP says there is no FCS: nothing more on the air";

    // The writer carries its type into both headers.
    CVectorSink sink;
    CPcapStreamWriter writer(sink);
    writer.SetLinkType(EPcapLinkType::Ieee802154Tap);
    ASSERT_TRUE(writer.WriteGlobalHeader());
    const uint8_t byData[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(writer.WriteRecordAt(byData, 5, CPcapTime{7, 8}));
    ASSERT_EQ(sink.m_by.size(), static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN + PCAP_RECORD_HEADER_LEN + 5));
    EXPECT_EQ(Le32At(sink.m_by, 20), 283u);
    EXPECT_EQ(Le32At(sink.m_by, PCAP_GLOBAL_HEADER_LEN + 12), 5u);
}

TEST(PcapTap, HeaderLayoutAndRefusals)
{
    Bytes by(PCAP_TAP_HEADER_LEN + 4, 0xCC);
    ASSERT_EQ(BuildTapHeader(by.data(), static_cast<int32_t>(by.size()), 0x0119), PCAP_TAP_HEADER_LEN);
    const Bytes expected = {
        0x00, 0x00, 0x14, 0x00,                           // version, reserved, length 20
        0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,   // FCS type: none, padded
        0x03, 0x00, 0x03, 0x00, 0x19, 0x01, 0x00, 0x00,   // channel 0x119, page 0, padded
        0xCC, 0xCC, 0xCC, 0xCC,                           // beyond: untouched
    };
    EXPECT_EQ(by, expected);

    Bytes byShort(PCAP_TAP_HEADER_LEN - 1, 0xCC);
    EXPECT_EQ(BuildTapHeader(byShort.data(), static_cast<int32_t>(byShort.size()), 15), 0);
    EXPECT_EQ(byShort, Bytes(PCAP_TAP_HEADER_LEN - 1, 0xCC)) << "wrote into a buffer too small";
    EXPECT_EQ(BuildTapHeader(by.data(), PCAP_TAP_HEADER_LEN, -1), 0);
    EXPECT_EQ(BuildTapHeader(by.data(), PCAP_TAP_HEADER_LEN, 0x10000), 0);
    EXPECT_EQ(BuildTapHeader(nullptr, PCAP_TAP_HEADER_LEN, 15), 0);
}

} // namespace
