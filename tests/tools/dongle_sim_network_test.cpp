// Networks on chosen channels, on a clock the test drives: only a channel with
// a network carries traffic, every frame under its network's PAN ID, beacons
// with its extended PAN ID, and a retune switches what flows.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/mac_header.h"
#include "dongle_sim_split.h"
#include "tools/dongle_sim/sim_engine.h"
#include "tools/dongle_sim/sim_network.h"
#include "tools/dongle_sim/sim_options.h"
#include "tools/dongle_sim/sim_sent_log.h"

namespace {

struct CSent {
    int32_t m_nChannel;
    int32_t m_nPanId;
    CByteVec m_byMac;
};

class CNetRecorder : public ISimEvents {
public:
    void Log(const std::string& strLine) override { m_vecLog.push_back(strLine); }
    void FrameSent(const uint8_t*, int32_t) override { ADD_FAILURE() << "the engine reports the origin too"; }
    void FrameSentOn(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen) override
    {
        m_vecSent.push_back(CSent{nChannel, nPanId, CByteVec(pMac, pMac + nLen)});
    }
    bool Logged(const std::string& strLine) const
    {
        for (const std::string& str : m_vecLog)
            if (str == strLine)
                return true;
        return false;
    }
    std::vector<std::string> m_vecLog;
    std::vector<CSent> m_vecSent;
};

constexpr uint64_t T0 = 5000000;
constexpr uint64_t SECOND = 1000000;

CSimNetwork Net(const char* psz)
{
    CSimNetwork net{};
    std::string strError;
    EXPECT_TRUE(ParseSimNetwork(psz, net, strError)) << strError;
    return net;
}

class DongleSimNetworks : public ::testing::Test {
protected:
    void Make(const std::vector<const char*>& vecNets)
    {
        for (const char* psz : vecNets)
            m_opts.m_vecNetworks.push_back(Net(psz));
        m_pSource = std::make_unique<CSimNetworks>(m_opts.m_vecNetworks, m_opts.m_dwSeed);
        m_pEngine = std::make_unique<CSimEngine>(m_opts, *m_pSource, m_events, T0);
    }
    void Send(const CByteVec& by, uint64_t qwNow)
    {
        m_pEngine->OnReceived(by.data(), static_cast<int32_t>(by.size()), qwNow);
    }
    // Everything the engine writes from qwFrom to qwTo, a host that keeps up.
    CByteVec Run(uint64_t qwFrom, uint64_t qwTo, uint64_t qwStep = 1000)
    {
        CByteVec byOut;
        for (uint64_t t = qwFrom; t <= qwTo; t += qwStep) {
            m_pEngine->Tick(t);
            while (m_pEngine->HasOutput()) {
                int32_t nLen = 0;
                const uint8_t* p = m_pEngine->GetOutput(nLen);
                byOut.insert(byOut.end(), p, p + nLen);
                m_pEngine->OnWritten(nLen);
                m_pEngine->Tick(t);
            }
        }
        return byOut;
    }
    // Checks each data frame of by against what the engine reported sent
    // (from m_nChecked on) and counts them per network: heard on nChannel,
    // from a network of nChannel, every PAN ID its header names that
    // network's, a beacon's extended PAN ID that network's.
    std::map<uint16_t, size_t> CheckFramesOf(const CByteVec& by, int32_t nChannel)
    {
        std::map<int32_t, const CSimNetwork*> mapNets;
        for (const CSimNetwork& net : m_opts.m_vecNetworks)
            if (net.m_nChannel == nChannel)
                mapNets[net.m_wPanId] = &net;
        std::map<uint16_t, size_t> mapCount;
        for (const CByteVec& fr : DataFrames(SplitFrames(by))) {
            EXPECT_EQ(nChannel, fr[3]) << "channel byte";
            if (m_nChecked >= m_events.m_vecSent.size()) {
                ADD_FAILURE() << "a frame on the line was not reported sent";
                break;
            }
            const CSent& sent = m_events.m_vecSent[m_nChecked++];
            const CByteVec mac = PayloadOf(fr);
            EXPECT_EQ(sent.m_byMac, mac);
            EXPECT_EQ(nChannel, sent.m_nChannel);
            const auto it = mapNets.find(sent.m_nPanId);
            if (it == mapNets.end()) {
                ADD_FAILURE() << "PAN " << sent.m_nPanId << " is not on channel " << nChannel;
                continue;
            }
            const CMacHeader pans = ParseMacHeader(mac.data(), static_cast<int32_t>(mac.size()));
            EXPECT_TRUE(pans.m_bAddressesParsed);
            size_t nNamed = 0;
            for (const auto& [bHas, wPan] : {std::pair{pans.m_bHasDstPan, pans.m_wDstPan},
                                              std::pair{pans.m_bHasSrcPan, pans.m_wSrcPan}}) {
                if (!bHas || wPan == MAC_BROADCAST)
                    continue;
                EXPECT_EQ(sent.m_nPanId, wPan) << "PAN ID in the header";
                ++nNamed;
            }
            // Only an acknowledgement and a beacon request name no network.
            if (nNamed == 0 && pans.m_byFrameType != MAC_FRAME_ACK) {
                EXPECT_EQ(MAC_CMD_BEACON_REQUEST, mac.back());
            }
            if (pans.m_bZigBeeBeacon) {
                EXPECT_EQ(it->second->m_qwExtPanId, pans.m_qwExtPanId) << "beacon of PAN " << sent.m_nPanId;
                ++m_nBeacons;
            }
            ++mapCount[static_cast<uint16_t>(sent.m_nPanId)];
        }
        return mapCount;
    }

    CSimOptions m_opts;
    CNetRecorder m_events;
    std::unique_ptr<CSimNetworks> m_pSource;
    std::unique_ptr<CSimEngine> m_pEngine;
    size_t m_nBeacons = 0;
    size_t m_nChecked = 0;   // frames of m_events.m_vecSent already checked
};

TEST_F(DongleSimNetworks, AChannelWithoutANetworkIsSilentAndTheDongleSleeps)
{
    m_opts.m_dRate = 200;
    Make({"15:0x1a62", "20:0x7c01"});
    Send(StartCommand(), T0);   // on the first channel, 11: nobody there
    const CByteVec by = Run(T0, T0 + 60 * SECOND, 10000);
    EXPECT_EQ(7u, by.size()) << "only the start's answer";
    EXPECT_EQ(SIM_NEVER, m_pEngine->GetNextWakeUs()) << "wakes although nothing can come";
    EXPECT_TRUE(m_events.Logged("sniffing on channel 11: no network, silent"));
    // Nor a channel out of the band.
    Send(SetChannelCommand(27), T0 + 60 * SECOND);
    EXPECT_EQ(7u, Run(T0 + 60 * SECOND, T0 + 70 * SECOND, 10000).size());
    EXPECT_TRUE(m_events.m_vecSent.empty());
}

TEST_F(DongleSimNetworks, EveryFrameCarriesItsChannelsNetworkAndBeaconsItsExtendedPan)
{
    m_opts.m_dRate = 100;
    Make({"15:0x1a62", "20:0x7c01"});
    Send(SetChannelCommand(15), T0);
    Send(StartCommand(), T0);
    const std::map<uint16_t, size_t> mapCount = CheckFramesOf(Run(T0, T0 + 20 * SECOND), 15);
    EXPECT_EQ(1u, mapCount.size());
    EXPECT_NEAR(2000.0, static_cast<double>(mapCount.at(0x1a62)), 2.0) << "the rate";
    EXPECT_GE(m_nBeacons, 10u);
    EXPECT_EQ(0x00124b00000f1a62ull, m_opts.m_vecNetworks[0].m_qwExtPanId);
    for (const CSent& sent : m_events.m_vecSent) {
        ASSERT_EQ(15, sent.m_nChannel);
        ASSERT_EQ(0x1a62, sent.m_nPanId);
    }
    EXPECT_TRUE(m_events.Logged("channel 15: network 0x1a62"));
}

TEST_F(DongleSimNetworks, TwoNetworksOnOneChannelInterleaveEachAtTheRate)
{
    m_opts.m_dRate = 50;
    Make({"15:0x1a62", "20:0x7c01", "20:0x0bee:0x1122334455667788"});
    Send(SetChannelCommand(20), T0);
    Send(StartCommand(), T0);
    // A survey's dwell of 2 s.
    const std::map<uint16_t, size_t> mapCount = CheckFramesOf(Run(T0, T0 + 2 * SECOND - 1), 20);
    ASSERT_EQ(2u, mapCount.size());
    EXPECT_NEAR(100.0, static_cast<double>(mapCount.at(0x7c01)), 1.0);
    EXPECT_NEAR(100.0, static_cast<double>(mapCount.at(0x0bee)), 1.0);
    EXPECT_GE(m_nBeacons, 2u);
    EXPECT_TRUE(m_events.Logged("channel 20: networks 0x7c01 0x0bee"));
}

TEST_F(DongleSimNetworks, RetuningSwitchesTheTrafficToTheNewChannelsNetwork)
{
    m_opts.m_dRate = 100;
    Make({"15:0x1a62", "20:0x7c01"});
    uint64_t t = T0;
    // The host's way: stop, set the channel, start; and a set-channel alone
    // while sniffing.
    const std::vector<std::pair<int, bool>> vecSteps = {{15, true}, {20, true}, {16, true}, {15, false}, {20, false}};
    Send(StartCommand(), t);
    for (const auto& [nChannel, bStopFirst] : vecSteps) {
        SCOPED_TRACE(nChannel);
        if (bStopFirst)
            Send(StopCommand(), t);
        Send(SetChannelCommand(nChannel), t);
        if (bStopFirst)
            Send(StartCommand(), t);
        const CByteVec by = Run(t, t + SECOND - 1);
        const std::map<uint16_t, size_t> mapCount = CheckFramesOf(by, nChannel);
        const size_t nFrames = mapCount.empty() ? 0 : mapCount.begin()->second;
        EXPECT_EQ(nChannel == 16 ? 0u : 100u, nFrames);
        t += SECOND;
    }
    EXPECT_TRUE(m_events.Logged("channel 16: no network, silent"));
    EXPECT_TRUE(m_events.Logged("channel 20: network 0x7c01"));
}

TEST_F(DongleSimNetworks, AFrameBegunBeforeARetuneEndsWholeOneNotBegunIsDropped)
{
    m_opts.m_dRate = 1000;
    Make({"15:0x1a62", "20:0x7c01"});
    Send(SetChannelCommand(15), T0);
    Send(StartCommand(), T0);
    Run(T0, T0);
    // Half a channel-15 frame is on the line when the host retunes.
    m_pEngine->Tick(T0 + 1000);
    int32_t nLen = 0;
    const uint8_t* p = m_pEngine->GetOutput(nLen);
    ASSERT_GT(nLen, 7);
    const CByteVec byBegun(p, p + nLen);
    m_pEngine->OnWritten(5);
    Send(SetChannelCommand(20), T0 + 1000);
    CByteVec by(byBegun.begin(), byBegun.begin() + 5);
    const CByteVec byRest = Run(T0 + 1000, T0 + 1000);
    by.insert(by.end(), byRest.begin(), byRest.end());
    const CFrameSplit split = SplitFrames(by);
    ASSERT_GE(split.m_vecFrames.size(), 3u);
    EXPECT_EQ(byBegun, split.m_vecFrames[0]) << "the frame on the line, whole";
    EXPECT_EQ(7u, split.m_vecFrames[1].size()) << "then the answer";
    EXPECT_EQ(20, split.m_vecFrames[2][3]) << "then channel 20 at once";

    // A channel-20 frame queued, not begun, when the host retunes to 15: never sent.
    m_pEngine->Tick(T0 + 2000);
    ASSERT_TRUE(m_pEngine->HasOutput());
    const size_t nSentBefore = m_events.m_vecSent.size();
    Send(SetChannelCommand(15), T0 + 2000);
    const CFrameSplit after = SplitFrames(Run(T0 + 2000, T0 + 10000));
    ASSERT_GE(after.m_vecFrames.size(), 2u);
    EXPECT_EQ(7u, after.m_vecFrames[0].size()) << "the answer first";
    for (size_t i = 1; i < after.m_vecFrames.size(); ++i)
        EXPECT_EQ(15, after.m_vecFrames[i][3]);
    for (size_t i = nSentBefore; i < m_events.m_vecSent.size(); ++i)
        EXPECT_EQ(15, m_events.m_vecSent[i].m_nChannel);
    EXPECT_EQ(m_events.m_vecSent.size(), m_pEngine->GetStats().m_qwFrames);
}

}

namespace {

bool Parse(const std::vector<const char*>& vecArgs, CSimOptions& opts, std::string& strError)
{
    std::vector<const char*> vecArgv{"qm-dongle-sim"};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    return ParseSimOptions(static_cast<int>(vecArgv.size()), vecArgv.data(), opts, strError);
}

TEST(DongleSimNetworkOption, TakesChannelPanAndExtendedPanInHexOrDecimal)
{
    CSimOptions opts;
    std::string strError;
    ASSERT_TRUE(Parse({"--network", "15:0x1A62", "--network=20:31745", "--network", "26:0:0x00124B00DEADBEEF",
                       "--network", "11:65534:42"},
                      opts, strError))
        << strError;
    ASSERT_EQ(4u, opts.m_vecNetworks.size());
    const CSimNetwork& a = opts.m_vecNetworks[0];
    EXPECT_EQ(15, a.m_nChannel);
    EXPECT_EQ(0x1a62, a.m_wPanId);
    EXPECT_EQ(0x00124b00000f1a62ull, a.m_qwExtPanId);
    EXPECT_EQ(0x7c01, opts.m_vecNetworks[1].m_wPanId);
    EXPECT_EQ(0x00124b0000147c01ull, opts.m_vecNetworks[1].m_qwExtPanId);
    EXPECT_EQ(0x00124b00deadbeefull, opts.m_vecNetworks[2].m_qwExtPanId);
    EXPECT_EQ(0xfffe, opts.m_vecNetworks[3].m_wPanId);
    EXPECT_EQ(42u, opts.m_vecNetworks[3].m_qwExtPanId);
    EXPECT_EQ("network on channel 15: PAN 0x1a62, extended PAN 0x00124b00000f1a62", FormatSimNetwork(a));
}

TEST(DongleSimNetworkOption, RefusesMalformedValuesWithOneLine)
{
    const std::vector<std::pair<const char*, const char*>> vecCases = {
        {"15", "not CH:PAN"},
        {"", "not CH:PAN"},
        {"10:0x1a62", "channel '10' is not one of 11..26"},
        {"27:0x1a62", "channel '27'"},
        {"-15:1", "channel '-15'"},
        {":1", "channel ''"},
        {"15:0xffff", "PAN ID '0xffff' is not a number from 0 to 0xfffe"},
        {"15:65536", "PAN ID '65536'"},
        {"15:", "PAN ID ''"},
        {"15:1a62", "PAN ID '1a62'"},
        {"15: 12", "PAN ID ' 12'"},
        {"15:0x", "PAN ID '0x'"},
        {"15:99999999999999999999999", "PAN ID"},
        {"15:1:0", "extended PAN ID '0'"},
        {"15:1:0xffffffffffffffff", "extended PAN ID"},
        {"15:1:0x10000000000000000", "extended PAN ID"},
        {"15:1:", "extended PAN ID ''"},
        {"15:1:2:3", "extended PAN ID '2:3'"},
    };
    for (const auto& [pszValue, pszWhy] : vecCases) {
        CSimOptions opts;
        std::string strError;
        EXPECT_FALSE(Parse({"--network", pszValue}, opts, strError)) << pszValue;
        EXPECT_NE(std::string::npos, strError.find(pszWhy)) << pszValue << ": " << strError;
        EXPECT_EQ(0u, strError.find(std::string("--network '") + pszValue + "': ")) << strError;
        EXPECT_EQ(std::string::npos, strError.find('\n')) << strError;
    }
    const std::vector<std::pair<std::vector<const char*>, const char*>> vecConflicts = {
        {{"--network", "15:1", "--network", "15:0x0001"}, "--network '15:0x0001': that PAN ID is on that channel already"},
        {{"--network", "15:1", "--replay", "x.pcap"}, "--network and --replay exclude each other"},
        {{"--network"}, "--network needs a value"},
    };
    for (const auto& [vecArgs, pszWhy] : vecConflicts) {
        CSimOptions opts;
        std::string strError;
        EXPECT_FALSE(Parse(vecArgs, opts, strError));
        EXPECT_EQ(pszWhy, strError);
    }
    CSimOptions opts;
    std::string strError;
    EXPECT_TRUE(Parse({"--network", "15:1", "--network", "16:1"}, opts, strError)) << "one PAN ID on two channels";
}

TEST(DongleSimNetworkOption, SentLogLineNamesChannelNetworkSequenceAndLength)
{
    const CByteVec byAck = BuildMacAck(0x83, false);
    EXPECT_EQ("15 0x1a62 131 3", FormatSimSentLine(15, 0x1a62, byAck.data(), 3));
    EXPECT_EQ("20 0x0bee 131 3", FormatSimSentLine(20, 0x0bee, byAck.data(), 3));
    EXPECT_EQ("11 - 131 3", FormatSimSentLine(11, SIM_PAN_UNKNOWN, byAck.data(), 3));
    EXPECT_EQ("11 - 0 2", FormatSimSentLine(11, SIM_PAN_UNKNOWN, byAck.data(), 2)) << "too short for a sequence";
}

}
