// The forwarder's records: with link type 195 the payload as the dongle sent
// it (the sink reads the frame's own bytes), with TAP a TAP header holding
// the channel in force when the frame came, then the payload.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/frame_forwarder.h"
#include "link/frame_protocol.h"
#include "pcap/pcap_tap.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct CSeen {
    const uint8_t* m_p;
    Bytes m_by;
};

class CRecordingSink : public IPcapRecordSink {
public:
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime) override
    {
        m_vecSeen.push_back(CSeen{pData, Bytes(pData, pData + nLen)});
    }
    void FlushRecords() override { ++m_nFlushes; }

    std::vector<CSeen> m_vecSeen;
    int m_nFlushes = 0;
};

// A dongle data frame: sync, length, 7 bytes, the payload, 7 trailing bytes.
Bytes DongleFrame(size_t nPayload, uint8_t bySeed)
{
    Bytes by = {0x00, 0x01, static_cast<uint8_t>(nPayload + 14), 0x00, 0x01, 0x07, 0x00, 0x01, 0x02, 0x03};
    for (size_t i = 0; i < nPayload; ++i)
        by.push_back(static_cast<uint8_t>(bySeed + i));
    for (uint8_t b : {0xC4, 0xFF, 0x00, 0x01, 0x00, 0x01, 0xB0})
        by.push_back(b);
    return by;
}

Bytes PayloadOf(const Bytes& frame)
{
    return Bytes(frame.begin() + RF_PAYLOAD_OFFSET, frame.end() - (RF_PAYLOAD_OVERHEAD - RF_PAYLOAD_OFFSET));
}

void Feed(CFrameForwarder& fwd, const Bytes& frame)
{
    fwd.OnDataFrame(frame.data(), static_cast<int32_t>(frame.size()));
}

Bytes TapRecord(int32_t nChannel, const Bytes& payload)
{
    Bytes by(PCAP_TAP_HEADER_LEN);
    EXPECT_EQ(BuildTapHeader(by.data(), PCAP_TAP_HEADER_LEN, nChannel), PCAP_TAP_HEADER_LEN);
    by.insert(by.end(), payload.begin(), payload.end());
    return by;
}

TEST(FrameForwarder, Ieee802154RecordsAreThePayloadInPlace)
{
    CRecordingSink sink;
    CFrameForwarder fwd(&sink);
    fwd.SetChannel(15);   // no effect on 195 records
    const Bytes frame = DongleFrame(30, 0x40);
    Feed(fwd, frame);
    Feed(fwd, DongleFrame(0, 0));   // 17 bytes: an empty payload is a record too
    fwd.OnDataBatchEnd();
    fwd.OnDataBatchEnd();           // nothing new: no second flush
    ASSERT_EQ(sink.m_vecSeen.size(), 2u);
    EXPECT_EQ(sink.m_vecSeen[0].m_p, frame.data() + RF_PAYLOAD_OFFSET) << "copied instead of passed on";
    EXPECT_EQ(sink.m_vecSeen[0].m_by, PayloadOf(frame));
    EXPECT_TRUE(sink.m_vecSeen[1].m_by.empty());
    EXPECT_EQ(sink.m_nFlushes, 1);
}

TEST(FrameForwarder, TapRecordsCarryTheChannelOfTheirFrame)
{
    CRecordingSink sink;
    CFrameForwarder fwd(&sink);
    fwd.SetLinkType(EPcapLinkType::Ieee802154Tap);
    fwd.SetChannel(11);
    const Bytes first = DongleFrame(12, 0x10);
    Feed(fwd, first);
    fwd.SetChannel(26);   // the radio hopped: the next frames are 26's
    const Bytes longest = DongleFrame(RF_FRAME_MAX_LEN - RF_PAYLOAD_OVERHEAD, 0x80);
    ASSERT_EQ(longest.size(), static_cast<size_t>(RF_FRAME_MAX_LEN));
    Feed(fwd, longest);
    for (int32_t nShort = RF_ACK_MAX_LEN + 1; nShort < RF_PAYLOAD_OVERHEAD; ++nShort) {
        Bytes byShort(static_cast<size_t>(nShort), 0x33);
        Feed(fwd, byShort);   // no payload region: skipped as in 195 mode
    }
    fwd.OnDataBatchEnd();

    ASSERT_EQ(sink.m_vecSeen.size(), 2u);
    EXPECT_EQ(sink.m_vecSeen[0].m_by, TapRecord(11, PayloadOf(first)));
    EXPECT_EQ(sink.m_vecSeen[1].m_by, TapRecord(26, PayloadOf(longest)));
    EXPECT_EQ(sink.m_nFlushes, 1);

    // Back to 195 for the next capture: the frame's own bytes again.
    fwd.SetLinkType(EPcapLinkType::Ieee802154WithFcs);
    Feed(fwd, first);
    ASSERT_EQ(sink.m_vecSeen.size(), 3u);
    EXPECT_EQ(sink.m_vecSeen[2].m_by, PayloadOf(first));
}

} // namespace
