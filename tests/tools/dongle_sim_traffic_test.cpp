// The traffic the simulator makes up, and replay of pcap files in its place.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/temp_dir_posix.h"
#include "dongle_sim_pcap.h"
#include "tools/dongle_sim/sim_mac.h"
#include "tools/dongle_sim/sim_replay.h"
#include "tools/dongle_sim/sim_traffic.h"

namespace {

// Minimal 802.15.4 header reader for the checks below.
struct CMacInfo {
    int m_nType;
    bool m_bAckReq;
    uint8_t m_bySeq;
    int m_nSrcMode;
    uint64_t m_qwSrc;
    size_t m_nHeaderLen;
};

CMacInfo ReadMac(const CByteVec& by)
{
    CMacInfo info{};
    const uint16_t wFc = static_cast<uint16_t>(by[0] | (by[1] << 8));
    info.m_nType = wFc & 7;
    info.m_bAckReq = (wFc & 0x20) != 0;
    info.m_bySeq = by[2];
    const bool bCompress = (wFc & 0x40) != 0;
    const int nDst = (wFc >> 10) & 3;
    info.m_nSrcMode = (wFc >> 14) & 3;
    size_t n = 3;
    if (nDst != 0)
        n += 2 + (nDst == 2 ? 2 : 8);
    if (info.m_nSrcMode != 0) {
        if (!bCompress)
            n += 2;
        const size_t nLen = info.m_nSrcMode == 2 ? 2 : 8;
        for (size_t i = 0; i < nLen && n + i < by.size(); ++i)
            info.m_qwSrc |= static_cast<uint64_t>(by[n + i]) << (8 * i);
        n += nLen;
    }
    info.m_nHeaderLen = n;
    return info;
}

TEST(DongleSimTraffic, LooksLikeARealZigbeeNetwork)
{
    CSimTraffic traffic(3);
    std::vector<CByteVec> vec(200);
    for (CByteVec& by : vec)
        ASSERT_TRUE(traffic.NextPayload(by));

    std::set<int> setTypes;
    std::set<uint8_t> setCommands;
    std::map<uint64_t, uint8_t> mapLastSeq;
    size_t nZigbee = 0;
    for (size_t i = 0; i < vec.size(); ++i) {
        SCOPED_TRACE(i);
        const CByteVec& by = vec[i];
        ASSERT_LE(by.size(), static_cast<size_t>(MAC_MAX_PSDU - 2)) << "no room for the FCS on the air";
        const CMacInfo mac = ReadMac(by);
        setTypes.insert(mac.m_nType);
        ASSERT_GE(by.size(), mac.m_nHeaderLen + (mac.m_nType == 3 ? 1 : 0));
        if (mac.m_nType == 3)
            setCommands.insert(by[mac.m_nHeaderLen]);
        if (mac.m_nType == 1) {
            const uint8_t byNwk = by[mac.m_nHeaderLen];
            EXPECT_EQ(2, (byNwk >> 2) & 0x0F) << "NWK protocol version";
            ++nZigbee;
        }
        // Every frame that asks for an acknowledgement gets one, with its sequence number.
        if (mac.m_bAckReq && i + 1 < vec.size()) {
            const CByteVec& ack = vec[i + 1];
            EXPECT_EQ(3u, ack.size());
            EXPECT_EQ(2, ack[0] & 7);
            EXPECT_EQ(mac.m_bySeq, ack[2]);
        }
        // Each device numbers its own frames one by one (the coordinator also
        // sends under its extended address).
        if (mac.m_nType != 2 && mac.m_nSrcMode != 0) {
            uint64_t qwDev = mac.m_qwSrc;
            if (qwDev == SIM_EXT_COORD)
                qwDev = SIM_ADDR_COORD;
            if (qwDev == SIM_EXT_JOINER)
                continue;   // it also sends beacon requests without a source address
            auto it = mapLastSeq.find(qwDev);
            if (it != mapLastSeq.end()) {
                EXPECT_EQ(static_cast<uint8_t>(it->second + 1), mac.m_bySeq) << "device " << qwDev;
            }
            mapLastSeq[qwDev] = mac.m_bySeq;
        }
    }
    EXPECT_EQ((std::set<int>{0, 1, 2, 3}), setTypes);
    EXPECT_EQ((std::set<uint8_t>{MAC_CMD_ASSOC_REQUEST, MAC_CMD_ASSOC_RESPONSE, MAC_CMD_DATA_REQUEST,
                                 MAC_CMD_BEACON_REQUEST}), setCommands);
    EXPECT_GE(nZigbee, 40u);
    EXPECT_EQ(3u, mapLastSeq.size());
}

TEST(DongleSimTraffic, SameSeedSameTrafficOtherSeedOtherTraffic)
{
    CSimTraffic a(5);
    CSimTraffic b(5);
    CSimTraffic c(6);
    bool bDiffer = false;
    for (int i = 0; i < 50; ++i) {
        CByteVec byA, byB, byC;
        a.NextPayload(byA);
        b.NextPayload(byB);
        c.NextPayload(byC);
        ASSERT_EQ(byA, byB);
        bDiffer = bDiffer || byA != byC;
    }
    EXPECT_TRUE(bDiffer);
}

class DongleSimReplay : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.Path().empty()); }

    std::string Write(const std::string& strName, int nLinkType, const std::vector<CPcapRec>& vecRecs)
    {
        const std::string strPath = m_dir / strName;
        WritePcap(strPath, nLinkType, vecRecs);
        return strPath;
    }
    CTestTempDir m_dir{"qm-sim-replay"};
};

TEST_F(DongleSimReplay, FcsBytesHeldByARecord)
{
    EXPECT_EQ(2, SimFcsBytesHeld(20, 20));
    EXPECT_EQ(1, SimFcsBytesHeld(19, 20));
    EXPECT_EQ(0, SimFcsBytesHeld(18, 20));
    EXPECT_EQ(0, SimFcsBytesHeld(10, 200));
    EXPECT_EQ(1, SimFcsBytesHeld(1, 1));
    EXPECT_EQ(0, SimFcsBytesHeld(0, 2));
    EXPECT_EQ(2, SimFcsBytesHeld(20, 7)) << "a length below the captured one holds the whole frame";
}

TEST_F(DongleSimReplay, Type195LosesTheFcsItHolds)
{
    const CByteVec a = BuildMacAck(0x11, false);
    const CByteVec b = BuildBeaconRequest(0x22);
    const CByteVec c = BuildDataRequest(0x33, 0x1A62, 0x0000, 0x7D13);
    // Whole frames with FCS, and one cut two bytes short as Quillmark writes them.
    const std::string strPath = Write("fcs.pcap", 195,
                                      {{WithFcs(a), 5}, {WithFcs(b), 10}, {c, static_cast<uint32_t>(c.size() + 2)}});
    CSimReplay replay;
    std::string strError;
    ASSERT_TRUE(replay.Load(strPath.c_str(), strError)) << strError;
    EXPECT_TRUE(strError.empty());
    ASSERT_EQ(3u, replay.GetFrameCount());
    EXPECT_EQ(a, replay.GetFrames()[0]);
    EXPECT_EQ(b, replay.GetFrames()[1]);
    EXPECT_EQ(c, replay.GetFrames()[2]);
    // Round and round.
    CByteVec by;
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(replay.NextPayload(by));
    EXPECT_EQ(a, by);
}

TEST_F(DongleSimReplay, Type230IsTakenAsItIs)
{
    const CByteVec a = BuildMacAck(0x11, true);
    const CByteVec big(241, 0x5A);
    const CByteVec tooBig(242, 0x5B);
    const std::string strPath = Write("nofcs.pcap", 230, {{a, 3}, {tooBig, 242}, {big, 241}});
    CSimReplay replay;
    std::string strError;
    ASSERT_TRUE(replay.Load(strPath.c_str(), strError)) << strError;
    ASSERT_EQ(2u, replay.GetFrameCount());
    EXPECT_EQ(a, replay.GetFrames()[0]);
    EXPECT_EQ(big, replay.GetFrames()[1]);
    EXPECT_EQ(1, replay.GetSkipped());
}

TEST_F(DongleSimReplay, RefusesWhatItCannotReplay)
{
    CSimReplay replay;
    std::string strError;
    EXPECT_FALSE(replay.Load((m_dir / "missing.pcap").c_str(), strError));
    EXPECT_NE(std::string::npos, strError.find("cannot read"));

    strError.clear();
    EXPECT_FALSE(replay.Load(Write("eth.pcap", 1, {{CByteVec(60, 0), 60}}).c_str(), strError));
    EXPECT_NE(std::string::npos, strError.find("link type 1")) << strError;

    strError.clear();
    EXPECT_FALSE(replay.Load(Write("empty.pcap", 230, {}).c_str(), strError));
    EXPECT_NE(std::string::npos, strError.find("no frame")) << strError;
    CByteVec by;
    EXPECT_FALSE(replay.NextPayload(by));

    // Cut off in the middle of its second record: the first still replays.
    const std::string strCut = Write("cut.pcap", 230, {{CByteVec(20, 1), 20}, {CByteVec(40, 2), 40}});
    std::filesystem::resize_file(strCut, 24 + 16 + 20 + 16 + 10);
    strError.clear();
    ASSERT_TRUE(replay.Load(strCut.c_str(), strError));
    EXPECT_EQ(1u, replay.GetFrameCount());
    EXPECT_FALSE(strError.empty()) << "the damage goes unmentioned";
}

}
