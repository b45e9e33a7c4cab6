// Replaying pcap files through the simulator, and its record of what it sent,
// compared with what arrived on the line.
#include "dongle_sim_harness.h"
#include "dongle_sim_pcap.h"

#include <algorithm>

#include "tools/dongle_sim/sim_mac.h"

namespace {

std::vector<CByteVec> SomeMacFrames()
{
    CSimZigbeeData data{};
    data.m_byMacSeq = 0x40;
    data.m_wPanId = 0xBEEF;
    data.m_wMacDst = 0x1111;
    data.m_wMacSrc = 0x2222;
    data.m_wNwkDst = 0x1111;
    data.m_wNwkSrc = 0x2222;
    data.m_byRadius = 5;
    data.m_byNwkSeq = 9;
    data.m_byDstEndpoint = 8;
    data.m_wCluster = ZCL_CLUSTER_ON_OFF;
    data.m_wProfile = ZB_PROFILE_HA;
    data.m_bySrcEndpoint = 3;
    data.m_byApsCounter = 77;
    data.m_byZcl = ZclOnOffCommand(12, 0x01);
    return {BuildBeaconRequest(0x01), BuildZigbeeData(data), BuildMacAck(0x40, false),
            BuildDataRequest(0x02, 0xBEEF, 0x0000, 0x2222), CByteVec(120, 0xA7)};
}

class DongleSimReplayRun : public ::testing::Test {
protected:
    std::string PortsDir() const { return m_dir / "ports"; }

    // Replays strFile, takes nFrames data frames off the line, stops; returns their payloads.
    std::vector<CByteVec> Replay(const std::string& strFile, size_t nFrames, std::vector<std::string> vecMore = {})
    {
        std::vector<std::string> vecArgs = {"--ports-dir", PortsDir(), "--replay", strFile, "--rate", "1000",
                                            "--sent-pcap", m_dir / "sent.pcap"};
        vecArgs.insert(vecArgs.end(), vecMore.begin(), vecMore.end());
        std::vector<CByteVec> vecOut;
        if (m_sim.StartReady(vecArgs).empty()) {
            ADD_FAILURE() << m_sim.Err();
            return vecOut;
        }
        CHostLine line;
        EXPECT_TRUE(line.Open(PortsDir() + "/com200"));
        CByteVec by;
        EXPECT_TRUE(line.Write(SetChannelCommand(21)));
        EXPECT_TRUE(line.Write(StartCommand()));
        EXPECT_TRUE(ReadDataFrames(line, by, nFrames, 5000));
        EXPECT_TRUE(line.Write(StopCommand()));
        EXPECT_TRUE(ReadAcks(line, by, 3, 2000));
        EXPECT_TRUE(m_sim.Signal(SIGTERM));
        const CFrameSplit split = SplitFrames(by);
        const bool bGarbage = std::find(vecMore.begin(), vecMore.end(), "--garbage") != vecMore.end();
        EXPECT_EQ(bGarbage, split.m_nSkipped > 0);
        for (const CByteVec& fr : DataFrames(split)) {
            EXPECT_EQ(21, fr[3]);
            vecOut.push_back(PayloadOf(fr));
        }
        return vecOut;
    }

    CTestTempDir m_dir;
    CSimProcess m_sim;
};

TEST_F(DongleSimReplayRun, Type195FileReplaysWithoutItsFcsAndRoundAgain)
{
    const std::vector<CByteVec> vecMac = SomeMacFrames();
    std::vector<CPcapRec> vecRecords;
    for (const CByteVec& mac : vecMac)
        vecRecords.push_back({WithFcs(mac), static_cast<uint32_t>(mac.size() + 2)});
    const std::string strFile = m_dir / "in195.pcap";
    WritePcap(strFile, 195, vecRecords);

    const std::vector<CByteVec> vecGot = Replay(strFile, 12);
    ASSERT_GE(vecGot.size(), 12u);
    for (size_t i = 0; i < vecGot.size(); ++i)
        EXPECT_EQ(vecMac[i % vecMac.size()], vecGot[i]) << "frame " << i;
}

TEST_F(DongleSimReplayRun, Type230FileReplaysAsItIs)
{
    const std::vector<CByteVec> vecMac = SomeMacFrames();
    std::vector<CPcapRec> vecRecords;
    for (const CByteVec& mac : vecMac)
        vecRecords.push_back({mac, static_cast<uint32_t>(mac.size())});
    const std::string strFile = m_dir / "in230.pcap";
    WritePcap(strFile, 230, vecRecords);

    const std::vector<CByteVec> vecGot = Replay(strFile, 5, {"--frames", "5"});
    ASSERT_EQ(5u, vecGot.size());
    EXPECT_EQ(vecMac, vecGot);
}

TEST_F(DongleSimReplayRun, SentPcapHoldsExactlyWhatWasStreamed)
{
    const std::vector<CByteVec> vecMac = SomeMacFrames();
    std::vector<CPcapRec> vecRecords;
    for (const CByteVec& mac : vecMac)
        vecRecords.push_back({mac, static_cast<uint32_t>(mac.size())});
    const std::string strFile = m_dir / "in.pcap";
    WritePcap(strFile, 230, vecRecords);

    const std::vector<CByteVec> vecGot = Replay(strFile, 37, {"--garbage"});
    int nLinkType = 0;
    const std::vector<CByteVec> vecSent = ReadPcapPayloads(m_dir / "sent.pcap", &nLinkType);
    EXPECT_EQ(195, nLinkType);
    EXPECT_EQ(vecGot, vecSent);
    EXPECT_EQ(vecSent.size(), m_sim.Summary().at("frames"));
}

TEST_F(DongleSimReplayRun, SentPcapOfGeneratedTrafficMatchesTheLine)
{
    std::vector<std::string> vecArgs = {"--ports-dir", PortsDir(), "--rate", "1000", "--sent-pcap",
                                        m_dir / "gen.pcap", "--seed", "8"};
    ASSERT_FALSE(m_sim.StartReady(vecArgs).empty()) << m_sim.Err();
    CHostLine line;
    ASSERT_TRUE(line.Open(PortsDir() + "/com200"));
    CByteVec by;
    ASSERT_TRUE(line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(line, by, 50, 5000));
    // Read while the file is being written: it is flushed frame by frame (the
    // frame that just left may not be recorded yet).
    int nLinkType = 0;
    const std::vector<CByteVec> vecSoFar = ReadPcapPayloads(m_dir / "gen.pcap", &nLinkType);
    const size_t nOnLine = DataFrames(SplitFrames(by)).size();
    EXPECT_GE(vecSoFar.size() + 1, nOnLine);
    ASSERT_TRUE(line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(line, by, 2, 2000));
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    std::vector<CByteVec> vecGot;
    for (const CByteVec& fr : DataFrames(SplitFrames(by)))
        vecGot.push_back(PayloadOf(fr));
    EXPECT_EQ(vecGot, ReadPcapPayloads(m_dir / "gen.pcap", &nLinkType));
}

TEST_F(DongleSimReplayRun, RefusesAFileItCannotReplay)
{
    const std::string strFile = m_dir / "eth.pcap";
    WritePcap(strFile, 1, {{CByteVec(64, 0x11), 64}});
    ASSERT_TRUE(m_sim.Start({"--ports-dir", PortsDir(), "--replay", strFile}));
    ASSERT_TRUE(m_sim.WaitExit(5000));
    EXPECT_EQ(1, m_sim.ExitCode());
    EXPECT_NE(std::string::npos, m_sim.Err().find("not IEEE 802.15.4")) << m_sim.Err();
    EXPECT_EQ(std::string::npos, m_sim.Out().find("ready"));
    struct stat st;
    EXPECT_NE(0, lstat((PortsDir() + "/com200").c_str(), &st)) << "published although it cannot serve";
}

}
