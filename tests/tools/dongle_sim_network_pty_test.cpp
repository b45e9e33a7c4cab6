// The simulated dongle holding two networks, driven over its real
// pseudo-terminal as a host retunes it: what is read back on each channel is
// that channel's network (or nothing), and the sent-frames log says so too.
#include "dongle_sim_harness.h"
#include "link/mac_header.h"
#include "dongle_sim_pcap.h"

#include <set>

namespace {

constexpr size_t FRAMES_PER_STEP = 30;

// The data frames of by after its nAck-th acknowledgement.
std::vector<CByteVec> DataAfterAck(const CByteVec& by, size_t nAck)
{
    std::vector<CByteVec> vec;
    size_t nAcks = 0;
    for (const CByteVec& fr : SplitFrames(by).m_vecFrames) {
        if (fr.size() <= static_cast<size_t>(RF_ACK_MAX_LEN))
            ++nAcks;
        else if (nAcks >= nAck)
            vec.push_back(fr);
    }
    return vec;
}

struct CStep {
    int m_nChannel;
    bool m_bStopFirst;   // stop, set-channel, start; else set-channel while sniffing
    int m_nPanId;        // the network heard there, -1 none
    uint64_t m_qwExtPan;
};

class DongleSimNetworkPty : public ::testing::Test {
protected:
    std::string PortsDir() const { return m_dir / "ports"; }

    // One retune; the data frames read after the set-channel's answer are
    // checked and kept in m_vecRead, all of them in m_byAll.
    void Retune(const CStep& step)
    {
        CByteVec by;
        std::vector<CByteVec> vecCmds{SetChannelCommand(step.m_nChannel)};
        if (step.m_bStopFirst)
            vecCmds = {StopCommand(), SetChannelCommand(step.m_nChannel), StartCommand()};
        for (const CByteVec& cmd : vecCmds)
            ASSERT_TRUE(m_line.Write(cmd));
        ASSERT_TRUE(ReadAcks(m_line, by, vecCmds.size(), 2000));
        const size_t nSetAck = step.m_bStopFirst ? 2 : 1;
        if (step.m_nPanId < 0) {
            const CByteVec byMore = m_line.ReadFor(300);
            by.insert(by.end(), byMore.begin(), byMore.end());
            EXPECT_TRUE(DataAfterAck(by, nSetAck).empty()) << "frames on a silent channel";
        } else {
            ASSERT_TRUE(m_line.ReadUntil(by, [&](const CByteVec& b) { return DataAfterAck(b, nSetAck).size() >= FRAMES_PER_STEP; },
                                         3000));
        }
        size_t nBeacons = 0;
        for (const CByteVec& fr : DataAfterAck(by, nSetAck)) {
            EXPECT_EQ(step.m_nChannel, fr[3]) << "channel byte";
            const CByteVec mac = PayloadOf(fr);
            const CMacHeader pans = ParseMacHeader(mac.data(), static_cast<int32_t>(mac.size()));
            if (pans.m_bHasDstPan && pans.m_wDstPan != MAC_BROADCAST) {
                EXPECT_EQ(step.m_nPanId, pans.m_wDstPan);
            }
            if (pans.m_bHasSrcPan && pans.m_wSrcPan != MAC_BROADCAST) {
                EXPECT_EQ(step.m_nPanId, pans.m_wSrcPan);
            }
            if (pans.m_bZigBeeBeacon) {
                EXPECT_EQ(step.m_qwExtPan, pans.m_qwExtPanId);
                ++nBeacons;
            }
        }
        // A network's traffic starts with a device looking for networks.
        if (step.m_nPanId >= 0 && m_setHeard.insert(step.m_nPanId).second) {
            EXPECT_GE(nBeacons, 1u) << "no beacon of the network on channel " << step.m_nChannel;
        }
        m_byAll.insert(m_byAll.end(), by.begin(), by.end());
    }

    CTestTempDir m_dir;
    CSimProcess m_sim;
    CHostLine m_line;
    CByteVec m_byAll;
    std::set<int> m_setHeard;
};

TEST_F(DongleSimNetworkPty, EachChannelCarriesItsOwnNetworkAsTheHostRetunes)
{
    const std::string strLog = m_dir / "sent.log";
    const std::string strPcap = m_dir / "sent.pcap";
    ASSERT_FALSE(m_sim.StartReady({"--ports-dir", PortsDir(), "--rate", "300", "--network", "15:0x1a62", "--network",
                                   "20:0x7c01:0x00124b0000abcdef", "--sent-log", strLog, "--sent-pcap", strPcap})
                     .empty())
        << m_sim.Err();
    EXPECT_TRUE(m_sim.WaitForText("network on channel 15: PAN 0x1a62, extended PAN 0x00124b00000f1a62", 1000));
    EXPECT_TRUE(m_sim.WaitForText("network on channel 20: PAN 0x7c01, extended PAN 0x00124b0000abcdef", 1000));
    ASSERT_TRUE(m_line.Open(PortsDir() + "/com200")) << strerror(errno);

    ASSERT_TRUE(m_line.Write(StartCommand()));   // on channel 11: nobody there
    CByteVec by;
    ASSERT_TRUE(ReadAcks(m_line, by, 1, 1000));
    const CByteVec byQuiet = m_line.ReadFor(300);
    EXPECT_TRUE(byQuiet.empty()) << byQuiet.size() << " bytes on channel 11";
    m_byAll = by;
    const std::vector<CStep> vecSteps = {
        {15, true, 0x1a62, 0x00124b00000f1a62ull}, {20, true, 0x7c01, 0x00124b0000abcdefull},
        {16, true, -1, 0},                         {15, false, 0x1a62, 0x00124b00000f1a62ull},
        {20, false, 0x7c01, 0x00124b0000abcdefull},
    };
    for (const CStep& step : vecSteps) {
        SCOPED_TRACE(step.m_nChannel);
        ASSERT_NO_FATAL_FAILURE(Retune(step));
    }
    ASSERT_TRUE(m_line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(m_line, m_byAll, CountAcks(SplitFrames(m_byAll)) + 1, 1000));
    const CByteVec byLate = m_line.ReadFor(50);
    m_byAll.insert(m_byAll.end(), byLate.begin(), byLate.end());
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    EXPECT_TRUE(m_sim.Err().find("channel 16: no network, silent") != std::string::npos) << m_sim.Err();
    EXPECT_TRUE(m_sim.Err().find("channel 20: network 0x7c01") != std::string::npos);

    // Everything read back, in order, is what the log and the pcap say was sent.
    const std::vector<CByteVec> vecData = DataFrames(SplitFrames(m_byAll));
    std::ifstream in(strLog);
    std::vector<std::string> vecLines;
    for (std::string strLine; std::getline(in, strLine);)
        vecLines.push_back(strLine);
    const std::vector<CByteVec> vecSent = ReadPcapPayloads(strPcap);
    ASSERT_EQ(vecData.size(), vecLines.size());
    ASSERT_EQ(vecData.size(), vecSent.size());
    EXPECT_EQ(vecData.size(), m_sim.Summary().at("frames"));
    EXPECT_EQ(20u, m_sim.Summary().at("channel"));
    for (size_t i = 0; i < vecData.size(); ++i) {
        const CByteVec mac = PayloadOf(vecData[i]);
        EXPECT_EQ(vecSent[i], mac) << i;
        const std::string strNet = vecData[i][3] == 15 ? "15 0x1a62 " : "20 0x7c01 ";
        EXPECT_EQ(strNet + std::to_string(mac[2]) + " " + std::to_string(mac.size()), vecLines[i]);
    }
    EXPECT_GE(vecData.size(), 4 * FRAMES_PER_STEP) << "four steps on a network's channel";
}

TEST(DongleSimNetworkCommandLine, AMalformedNetworkIsRefusedBeforePublishing)
{
    CTestTempDir dir;
    const std::vector<std::pair<std::string, std::string>> vecCases = {
        {"27:0x1a62", "--network '27:0x1a62': channel '27' is not one of 11..26"},
        {"15:0x10000", "--network '15:0x10000': PAN ID '0x10000' is not a number from 0 to 0xfffe"},
        {"15-0x1a62", "--network '15-0x1a62': not CH:PAN[:EXTPAN] (e.g. 15:0x1a62)"},
    };
    for (const auto& [strValue, strLine] : vecCases) {
        CSimProcess sim;
        ASSERT_TRUE(sim.Start({"--ports-dir", dir.Path(), "--network", "15:0x1a62", "--network", strValue}));
        ASSERT_TRUE(sim.WaitExit(5000));
        EXPECT_EQ(2, sim.ExitCode());
        EXPECT_EQ("qm-dongle-sim: " + strLine + "\n", sim.Err());
        EXPECT_EQ(std::string::npos, sim.Out().find("ready")) << "published despite a bad option";
    }
    CSimProcess help;
    ASSERT_TRUE(help.Start({"--help"}));
    ASSERT_TRUE(help.WaitExit(5000));
    EXPECT_NE(std::string::npos, help.Out().find("--network CH:PAN[:EXTPAN]"));
    EXPECT_NE(std::string::npos, help.Out().find("--sent-log FILE"));
}

}
