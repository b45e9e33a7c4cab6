// The scan and the retune with the real simulated dongle: a survey of every
// channel that ends by itself, the bars it shows, the channel taken from it;
// a running capture that follows the channel box; a dongle that goes away
// and comes back on the same port.
#include "model_sim_test.h"

#include "engine/channels.h"

#include <algorithm>
#include <set>

namespace {

constexpr uint32_t SCAN_DWELL_MS = 150;
constexpr int32_t NET_A_CHANNEL = 15;
constexpr uint16_t NET_A_PAN = 0x1a62;
constexpr int32_t NET_B_CHANNEL = 20;
constexpr uint16_t NET_B_PAN = 0x7c01;
const std::vector<std::string> SIM_NETWORKS = { "--rate", "100", "--network", "15:0x1a62", "--network", "20:0x7c01" };

} // namespace

class CModelScanTest : public CModelCaptureTest {
protected:
    // How many times the simulator was told to tune to nChannel.
    size_t SimTunedTo(int32_t nChannel)
    {
        m_sim.Drain();
        const std::string strNeedle = "channel " + std::to_string(nChannel) + ": ";
        size_t nCount = 0;
        for (size_t nAt = m_sim.Err().find(strNeedle); nAt != std::string::npos;
             nAt = m_sim.Err().find(strNeedle, nAt + 1))
            ++nCount;
        return nCount;
    }
    bool WaitSimLog(const std::string& strPart)
    {
        return RunUntil([&] {
            m_sim.Drain();
            return m_sim.Err().find(strPart) != std::string::npos;
        }, WAIT_MS);
    }
};

// One sweep over 11..26 ends by itself: the bars of all 16 channels, the
// networks' channels with their PAN IDs and the silent ones without frames;
// Start and Scan do nothing meanwhile. The channel taken from the scan is the
// box's and the settings', and the next Start captures there without hopping.
TEST_F(CModelScanTest, ScanSweepsEveryChannelThenItsChannelIsTaken)
{
    ASSERT_TRUE(StartSim(SIM_NETWORKS));
    CCaptureModel& model = Model();
    model.SetScanDwellMs(SCAN_DWELL_MS);
    model.OnScan();
    EXPECT_TRUE(m_view.m_bRunning);
    EXPECT_TRUE(model.IsScanning());
    EXPECT_TRUE(m_view.m_bSurveyRunning);
    model.OnStart();   // disabled: changes nothing
    model.OnScan();
    EXPECT_TRUE(model.GetEngine().IsSurvey());
    ASSERT_TRUE(RunUntil([&] { return !model.IsRunning(); }, WAIT_MS)) << m_view.m_strLog;

    EXPECT_FALSE(model.IsScanning());
    EXPECT_FALSE(m_view.m_bSurveyRunning);
    EXPECT_EQ(m_view.m_vecSurveyNow.back(), 0);
    std::set<int32_t> setVisited(m_view.m_vecSurveyNow.begin(), m_view.m_vecSurveyNow.end());
    setVisited.erase(0);
    EXPECT_EQ(setVisited.size(), static_cast<size_t>(CHANNEL_COUNT));
    ASSERT_EQ(m_view.m_vecSurvey.size(), static_cast<size_t>(CHANNEL_COUNT));
    for (const CSurveyChannel& ch : m_view.m_vecSurvey) {
        EXPECT_EQ(ch.m_dwVisits, 1u) << ch.m_nChannel;
        if (ch.m_nChannel == NET_A_CHANNEL || ch.m_nChannel == NET_B_CHANNEL) {
            EXPECT_GT(ch.m_qwFrames, 0u) << ch.m_nChannel;
            const uint16_t wPan = ch.m_nChannel == NET_A_CHANNEL ? NET_A_PAN : NET_B_PAN;
            EXPECT_EQ(ch.m_vecPanIds, std::vector<uint16_t> { wPan }) << ch.m_nChannel;
        } else {
            EXPECT_EQ(ch.m_qwFrames, 0u) << ch.m_nChannel;
            EXPECT_TRUE(ch.m_vecPanIds.empty()) << ch.m_nChannel;
        }
    }
    EXPECT_TRUE(m_view.Logged("Survey done: 1 sweep")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged(", PAN 0x1a62\n")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged(", PAN 0x7c01\n")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.Logged("Channel 11:")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.Logged("Frames delivered")) << m_view.m_strLog;   // a scan delivers none

    model.OnTakeChannel(NET_A_CHANNEL);
    EXPECT_EQ(m_view.m_nChannel, NET_A_CHANNEL - CHANNEL_FIRST);
    EXPECT_EQ(model.GetChannelIndex(), NET_A_CHANNEL - CHANNEL_FIRST);
    EXPECT_NE(ReadIni().find("Channel=15"), std::string::npos) << ReadIni();
    model.OnTakeChannel(CHANNEL_LAST + 1);   // no such channel: nothing changes
    EXPECT_EQ(model.GetChannelIndex(), NET_A_CHANNEL - CHANNEL_FIRST);

    m_view.m_strLog.clear();
    const size_t nTunedTo16 = SimTunedTo(16);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    MsgLoopRunFor(static_cast<int32_t>(3 * SCAN_DWELL_MS));
    EXPECT_EQ(model.GetEngine().GetChannel(), NET_A_CHANNEL);
    EXPECT_EQ(SimTunedTo(16), nTunedTo16) << m_sim.Err();   // the scan's list is not hopped over
    model.OnStop();
}

// Stop ends a scan at once: the bars stay with what was heard, the log
// tells the channels heard so far; a scan without a device does nothing.
TEST_F(CModelScanTest, StopEndsTheScan)
{
    ASSERT_TRUE(StartSim(SIM_NETWORKS));
    WriteSetting("ComPort", 7);
    CCaptureModel& model = Model();
    model.OnScan();
    EXPECT_TRUE(m_view.Logged("No found sniffing device!")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_EQ(m_view.m_nSurveyShows, 0);

    model.OnDeviceChosen(0);
    model.SetScanDwellMs(SCAN_DWELL_MS);
    model.OnScan();
    ASSERT_TRUE(RunUntil([&] {
        return std::find(m_view.m_vecSurveyNow.begin(), m_view.m_vecSurveyNow.end(), NET_A_CHANNEL + 1)
            != m_view.m_vecSurveyNow.end();
    }, WAIT_MS)) << m_view.m_strLog;
    model.OnStop();
    EXPECT_FALSE(model.IsRunning());
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_FALSE(m_view.m_bSurveyRunning);
    EXPECT_TRUE(m_view.Logged("Stop ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged(", PAN 0x1a62\n")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.Logged("Survey done")) << m_view.m_strLog;
    EXPECT_GT(m_view.m_vecSurvey[NET_A_CHANNEL - CHANNEL_FIRST].m_qwFrames, 0u);
}

// A scan on a port that cannot open shows no bars and logs no result.
TEST_F(CModelScanTest, ScanOnAMissingPortShowsNothing)
{
    CCaptureModel& model = Model();
    model.OnScan();
    EXPECT_TRUE(m_view.Logged("Open UART Port FAIL!")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_FALSE(model.IsScanning());
    EXPECT_EQ(m_view.m_nSurveyShows, 0);
    EXPECT_FALSE(m_view.Logged("Scan: nothing was heard")) << m_view.m_strLog;
}

// A channel picked during a capture retunes it: the dongle is told the new
// channel, the log says so, the box is busy meanwhile; two quick picks end
// on the second.
TEST_F(CModelScanTest, APickDuringACaptureRetunesIt)
{
    ASSERT_TRUE(StartSim(SIM_NETWORKS));
    CCaptureModel& model = Model();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    ASSERT_EQ(model.GetEngine().GetChannel(), NET_B_CHANNEL);

    model.OnChannelChosen(25 - CHANNEL_FIRST);
    EXPECT_EQ(m_view.m_vecRetuning, std::vector<bool> { true });
    ASSERT_TRUE(WaitLogged("Sniffing on channel 25")) << m_view.m_strLog;
    EXPECT_EQ(m_view.m_vecRetuning, (std::vector<bool> { true, false }));
    EXPECT_TRUE(WaitSimLog("channel 25: ")) << m_sim.Err();
    EXPECT_NE(ReadIni().find("Channel=25"), std::string::npos) << ReadIni();
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Capturing);

    model.OnChannelChosen(12 - CHANNEL_FIRST);
    model.OnChannelChosen(NET_A_CHANNEL - CHANNEL_FIRST);   // while the first retune runs
    ASSERT_TRUE(WaitLogged("Sniffing on channel 15")) << m_view.m_strLog;
    EXPECT_EQ(model.GetEngine().GetChannel(), NET_A_CHANNEL);
    EXPECT_TRUE(m_view.m_vecRetuning.back() == false);
    EXPECT_TRUE(WaitSimLog("channel 15: network 0x1a62")) << m_sim.Err();
    model.OnStop();
    EXPECT_TRUE(m_view.Logged("Stop ZigBee sniffing OK!"));
}

// The dongle goes away and comes back on the same port within the wait: the
// capture goes on, the log says so, frames keep coming.
TEST_F(CModelScanTest, ADongleThatComesBackResumesTheCapture)
{
    ASSERT_TRUE(StartSim({ "--rate", "200" }));
    CCaptureModel& model = Model();
    model.SetResumeWaitMs(5000);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    ASSERT_TRUE(WaitLogged("The sniffing device on COM200 went away (unplugged?): waiting up to 5 s for it to come back"))
        << m_view.m_strLog;
    EXPECT_TRUE(m_view.m_bRunning);
    ASSERT_TRUE(StartSim({ "--rate", "200" }));
    ASSERT_TRUE(WaitLogged("is back: capture resumed")) << m_view.m_strLog;
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Capturing);
    const int32_t nRxChanges = m_view.m_nRxChanges;
    EXPECT_TRUE(RunUntil([&] { return m_view.m_nRxChanges >= nRxChanges + 2; }, WAIT_MS)) << m_view.m_strRx;
    model.OnStop();
    EXPECT_FALSE(m_view.Logged("the capture ends")) << m_view.m_strLog;
}
