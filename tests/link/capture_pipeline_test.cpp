// The receive path end to end: the dongle's byte stream (acknowledgements,
// data frames carrying real IEEE 802.15.4 / ZigBee frames, noise, a frame
// dribbling in) through the frame reader into a pcap file, read back by
// libpcap and dissected by tshark.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <algorithm>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/command_output_posix.h"
#include "common/file_sink.h"
#include "common/queue_byte_source.h"
#include "common/temp_dir_posix.h"
#include "link/frame_reader.h"
#include "pcap/pcap_stream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Append(Bytes& by, const Bytes& more)
{
    by.insert(by.end(), more.begin(), more.end());
}

void Le16(Bytes& by, uint16_t w)
{
    by.push_back(static_cast<uint8_t>(w));
    by.push_back(static_cast<uint8_t>(w >> 8));
}

// --- IEEE 802.15.4 MAC frames, built field by field -------------------------

enum { MAC_BEACON = 0, MAC_DATA = 1, MAC_ACK = 2, MAC_COMMAND = 3 };
enum { ADDR_NONE = 0, ADDR_SHORT = 2, ADDR_EXT = 3 };

uint16_t FrameControl(int nType, bool bAckReq, bool bPanIdComp, int nDstMode, int nSrcMode)
{
    return static_cast<uint16_t>(nType | (bAckReq ? 1 << 5 : 0) | (bPanIdComp ? 1 << 6 : 0) |
                                 nDstMode << 10 | nSrcMode << 14);   // frame version 0 (2003)
}

const uint16_t PAN_ID = 0x1A62;
const uint16_t COORD = 0x0000;
const uint16_t ROUTER = 0x796F;
const uint64_t ROUTER_EXT = 0x00124B0001AB89CDull;

// Coordinator beacon with a ZigBee PRO beacon payload.
Bytes BeaconFrame(uint8_t bySeq)
{
    Bytes by;
    Le16(by, FrameControl(MAC_BEACON, false, false, ADDR_NONE, ADDR_SHORT));
    by.push_back(bySeq);
    Le16(by, PAN_ID);
    Le16(by, COORD);
    Le16(by, 0xCFFF);   // superframe: BO 15, SO 15, final CAP slot 15, PAN coordinator, association permit
    by.push_back(0x00);  // GTS field: no guaranteed slots
    by.push_back(0x00);  // pending addresses: none
    by.push_back(0x00);  // ZigBee protocol id
    by.push_back(0x22);  // stack profile 2 (PRO), protocol version 2
    by.push_back(0x84);  // router capacity, depth 0, end device capacity
    for (uint8_t b : {0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD})   // extended PAN id
        by.push_back(b);
    Append(by, {0xFF, 0xFF, 0xFF});   // tx offset
    by.push_back(0x00);               // network update id
    return by;
}

// Router -> coordinator data frame: NWK data, APS data to the On/Off cluster of
// the Home Automation profile, ZCL Report Attributes (OnOff = true).
Bytes ZigbeeReportFrame(uint8_t byMacSeq, uint8_t byNwkSeq, uint8_t byApsCounter, uint8_t byZclSeq)
{
    Bytes by;
    Le16(by, FrameControl(MAC_DATA, true, true, ADDR_SHORT, ADDR_SHORT));
    by.push_back(byMacSeq);
    Le16(by, PAN_ID);
    Le16(by, COORD);
    Le16(by, ROUTER);
    // NWK: data frame, protocol version 2, route discovery enabled, no security.
    Le16(by, 0x0048);
    Le16(by, COORD);
    Le16(by, ROUTER);
    by.push_back(30);    // radius
    by.push_back(byNwkSeq);
    // APS: data frame, unicast, no security, no ack request.
    by.push_back(0x00);
    by.push_back(0x01);  // destination endpoint
    Le16(by, 0x0006);    // cluster On/Off
    Le16(by, 0x0104);    // profile Home Automation
    by.push_back(0x01);  // source endpoint
    by.push_back(byApsCounter);
    // ZCL: profile-wide command, server to client, default response disabled.
    by.push_back(0x18);
    by.push_back(byZclSeq);
    by.push_back(0x0A);  // Report Attributes
    Le16(by, 0x0000);    // attribute OnOff
    by.push_back(0x10);  // boolean
    by.push_back(0x01);
    return by;
}

// MAC command: Beacon Request, broadcast, no source address.
Bytes BeaconRequestFrame(uint8_t bySeq)
{
    Bytes by;
    Le16(by, FrameControl(MAC_COMMAND, false, false, ADDR_SHORT, ADDR_NONE));
    by.push_back(bySeq);
    Le16(by, 0xFFFF);
    Le16(by, 0xFFFF);
    by.push_back(0x07);
    return by;
}

// MAC command: Data Request from an end device's extended address.
Bytes DataRequestFrame(uint8_t bySeq)
{
    Bytes by;
    Le16(by, FrameControl(MAC_COMMAND, true, true, ADDR_SHORT, ADDR_EXT));
    by.push_back(bySeq);
    Le16(by, PAN_ID);
    Le16(by, COORD);
    for (int i = 0; i < 8; ++i)
        by.push_back(static_cast<uint8_t>(ROUTER_EXT >> (8 * i)));
    by.push_back(0x04);
    return by;
}

Bytes MacAckFrame(uint8_t bySeq)
{
    Bytes by;
    Le16(by, FrameControl(MAC_ACK, false, false, ADDR_NONE, ADDR_NONE));
    by.push_back(bySeq);
    return by;
}

// --- The dongle's side ------------------------------------------------------

// A data frame around a radio payload: 7 leading and 7 trailing bytes that
// the host does not read. They deliberately contain the sync pair.
Bytes DongleDataFrame(const Bytes& payload)
{
    Bytes by = {0x00, 0x01, static_cast<uint8_t>(payload.size() + 14)};
    Append(by, {0x00, 0x01, 0x07, 0x00, 0x01, 0x02, 0x03});
    Append(by, payload);
    Append(by, {0xC4, 0xFF, 0x00, 0x01, 0x00, 0x01, 0xB0});
    return by;
}

// What the window does with each frame: acknowledgements are counted, data
// frames with a payload region become pcap records, shorter ones are dropped.
class CForwardSink : public IRfFrameSink {
public:
    explicit CForwardSink(CPcapStreamWriter& writer) : m_writer(writer) {}
    void DeliverFrame(const uint8_t* pFrame, int32_t nLen) override
    {
        if (RfIsAckLength(nLen)) {
            ++m_nAcks;
            return;
        }
        const int32_t nPayload = RfPayloadLength(nLen);
        if (nPayload < 0) {
            ++m_nNoPayload;
            return;
        }
        if (m_writer.WriteRecord(pFrame + RF_PAYLOAD_OFFSET, nPayload))
            ++m_nRecords;
    }
    void RequestRerun() override { ++m_nReruns; }
    CPcapStreamWriter& m_writer;
    int32_t m_nAcks = 0, m_nNoPayload = 0, m_nRecords = 0, m_nReruns = 0;
};

struct CExpected {
    Bytes m_payload;
    int m_nMacType;
};

class CapturePipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strPcap = m_dir / "capture.pcap";
        const Bytes beacon = BeaconFrame(0x12);
        const Bytes report = ZigbeeReportFrame(0x34, 0x5A, 0x22, 0x05);
        const Bytes beaconReq = BeaconRequestFrame(0x56);
        const Bytes dataReq = DataRequestFrame(0x57);
        const Bytes macAck = MacAckFrame(0x34);
        const Bytes report2 = ZigbeeReportFrame(0x35, 0x5B, 0x23, 0x06);
        m_expected = {{beacon, MAC_BEACON}, {report, MAC_DATA}, {beaconReq, MAC_COMMAND},
                      {dataReq, MAC_COMMAND}, {macAck, MAC_ACK}, {report2, MAC_DATA}};

        // Set-channel and start acknowledgements, then traffic.
        Append(m_stream, {0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04});
        Append(m_stream, {0x00, 0x01, 0x01, 0x00});
        Append(m_stream, DongleDataFrame(beacon));
        Append(m_stream, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});   // noise
        Append(m_stream, DongleDataFrame(report));
        Append(m_stream, DongleDataFrame(beaconReq));
        Append(m_stream, {0x01, 0x02, 0x03, 0x00});               // noise ending in a false sync start
        Append(m_stream, DongleDataFrame(dataReq));
        Append(m_stream, {0x00, 0x01, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9});   // data frame too short for a payload
        Append(m_stream, DongleDataFrame(macAck));
        m_nDribbleFrom = m_stream.size();
        Append(m_stream, DongleDataFrame(report2));
        m_nDribbleTo = m_stream.size();
        Append(m_stream, {0x00, 0x01, 0x04, 0x01, 0x00, 0xFB, 0x04});   // stop acknowledgement
        m_qwNoise = 6 + 4;
    }

    // Feeds the stream through the reader the way the window would: one step
    // per arrival, one more per re-run request. The report near the end
    // arrives a few bytes at a time.
    void Capture()
    {
        CFileSink file(m_strPcap);
        ASSERT_NE(file.m_pFile, nullptr);
        CPcapStreamWriter writer(file);
        ASSERT_TRUE(writer.WriteGlobalHeader());
        CForwardSink sink(writer);
        CQueueByteSource src;
        int32_t nPosted = 0;
        auto arrive = [&](size_t nFrom, size_t nTo) {
            src.m_q.insert(src.m_q.end(), m_stream.begin() + static_cast<long>(nFrom),
                           m_stream.begin() + static_cast<long>(nTo));
            ++nPosted;
            while (nPosted > 0) {
                --nPosted;
                const int32_t nReruns = sink.m_nReruns;
                m_reader.Step(src, sink);
                nPosted += sink.m_nReruns - nReruns;
            }
        };
        // Bursts up to the dribble, then 1..3 bytes at a time, then the rest.
        for (size_t nPos = 0; nPos < m_nDribbleFrom; nPos += 37)
            arrive(nPos, std::min(nPos + 37, m_nDribbleFrom));
        for (size_t nPos = m_nDribbleFrom, nStep = 1; nPos < m_nDribbleTo; nPos += nStep, nStep = nStep % 3 + 1)
            arrive(nPos, std::min(nPos + nStep, m_nDribbleTo));
        arrive(m_nDribbleTo, m_stream.size());

        EXPECT_EQ(src.GetCount(), 0);
        EXPECT_EQ(sink.m_nAcks, 3);
        EXPECT_EQ(sink.m_nNoPayload, 1);
        EXPECT_EQ(sink.m_nRecords, static_cast<int32_t>(m_expected.size()));
        EXPECT_EQ(m_reader.GetDroppedBytes(), m_qwNoise);
    }

    CTestTempDir m_dir{"qm-pipeline"};
    std::string m_strPcap;
    Bytes m_stream;
    size_t m_nDribbleFrom = 0, m_nDribbleTo = 0;
    uint64_t m_qwNoise = 0;
    std::vector<CExpected> m_expected;
    CFrameReader m_reader;
};

}  // namespace

TEST_F(CapturePipeline, LibpcapSeesOneRecordPerDataFrame)
{
    ASSERT_NO_FATAL_FAILURE(Capture());
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pCap = pcap_open_offline(m_strPcap.c_str(), szErr);
    ASSERT_NE(pCap, nullptr) << szErr;
    EXPECT_EQ(pcap_datalink(pCap), DLT_IEEE802_15_4_WITHFCS);
    EXPECT_EQ(pcap_datalink(pCap), 195);
    size_t nIndex = 0;
    int64_t nLast = 0;
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc;
    while ((nRc = pcap_next_ex(pCap, &pHdr, &pData)) == 1) {
        ASSERT_LT(nIndex, m_expected.size());
        const Bytes& want = m_expected[nIndex].m_payload;
        EXPECT_EQ(Bytes(pData, pData + pHdr->caplen), want) << "record " << nIndex;
        EXPECT_EQ(pHdr->len, pHdr->caplen + 2);
        const int64_t nUsec = static_cast<int64_t>(pHdr->ts.tv_sec) * 1000000 + pHdr->ts.tv_usec;
        EXPECT_GE(nUsec, nLast);
        nLast = nUsec;
        ++nIndex;
    }
    EXPECT_EQ(nRc, PCAP_ERROR_BREAK);
    EXPECT_EQ(nIndex, m_expected.size());
    pcap_close(pCap);
}

TEST_F(CapturePipeline, TsharkDissectsEveryRecordCleanly)
{
    ASSERT_EQ(access("/usr/bin/tshark", X_OK), 0) << "tshark is a test dependency (scripts/deps.sh)";
    ASSERT_NO_FATAL_FAILURE(Capture());
    // A private home so that no user preference changes the dissection and
    // parallel runs do not share a profile.
    const std::string strOut = CommandOutput(InPrivateHome(m_dir.Path(),
        "/usr/bin/tshark -n -r '" + m_strPcap +
        "' -T fields -E separator='|' -E occurrence=a -e frame.number -e wpan.frame_type"
        " -e wpan.seq_no -e wpan.cmd -e zbee_nwk.src -e zbee_aps.cluster -e zbee_zcl.cmd.id"
        " -e _ws.malformed -e _ws.expert.severity 2>/dev/null"));
    std::vector<std::vector<std::string>> rows = SplitFields(strOut, '|');
    for (std::vector<std::string>& cols : rows)
        cols.resize(9);
    ASSERT_EQ(rows.size(), m_expected.size()) << strOut;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string>& c = rows[i];
        SCOPED_TRACE("record " + std::to_string(i + 1) + ": " + strOut);
        EXPECT_EQ(c[0], std::to_string(i + 1));
        EXPECT_EQ(c[1], "0x000" + std::to_string(m_expected[i].m_nMacType));
        EXPECT_EQ(c[7], "");   // no malformed packet
        EXPECT_EQ(c[8], "");   // no expert notes at all (a missing FCS would raise one)
    }
    EXPECT_EQ(rows[0][2], "18");      // beacon sequence 0x12
    EXPECT_EQ(rows[2][3], "0x07");    // Beacon Request
    EXPECT_EQ(rows[3][3], "0x04");    // Data Request
    // The report goes all the way up to ZCL.
    for (size_t i : {1u, 5u}) {
        EXPECT_EQ(rows[i][4], "0x796f");
        EXPECT_EQ(rows[i][5], "0x0006");
        EXPECT_EQ(rows[i][6], "0x0a");
    }

    // The verbose tree must not mention malformed data or a bad FCS anywhere.
    const std::string strTree =
        CommandOutput(InPrivateHome(m_dir.Path(), "/usr/bin/tshark -n -V -r '" + m_strPcap + "' 2>/dev/null"));
    EXPECT_EQ(strTree.find("Malformed"), std::string::npos) << strTree;
    EXPECT_EQ(strTree.find("Bad FCS"), std::string::npos);
    EXPECT_NE(strTree.find("IEEE 802.15.4"), std::string::npos);
    EXPECT_NE(strTree.find("ZigBee Network Layer"), std::string::npos);
    EXPECT_NE(strTree.find("ZigBee Cluster Library"), std::string::npos);
}
