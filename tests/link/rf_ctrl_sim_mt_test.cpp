// The capture controller with the real serial port against the simulated
// dongle (qm-dongle-sim on a pty, published as a port in a private ports
// directory): whole captures, what the dongle saw, and its faults.
#include "link/frame_protocol.h"
#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "tests/link/rf_ctrl_test_env.h"
#include "tests/link/rf_ctrl_test_owner.h"
#include "tests/link/rf_ctrl_test_posix.h"
#include "common/child_process_posix.h"
#include "common/sim_summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <memory>
#include <string>
#include <vector>

QM_REGISTER_WND_ENVIRONMENT();

namespace {

constexpr int32_t SIM_PORT = 200;
constexpr int WAIT_MS = 5000;

class RfCtrlSim : public ::testing::Test {
protected:
    CTestDir m_dir;
    CChildProcess m_sim;
    COwner m_owner;
    std::unique_ptr<CRFCtrl> m_pCtrl;
    std::map<std::string, uint64_t> m_mapSummary;
    int32_t m_nPort = SIM_PORT;   // what Start hands the controller
    int32_t m_nChannel = 15;

    int32_t Start() { return m_pCtrl->StartCapture(m_nPort, m_nChannel); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Ok());
        m_pCtrl = std::make_unique<CRFCtrl>();
        m_owner.m_pCtrl = m_pCtrl.get();
        ASSERT_TRUE(m_pCtrl->Create(&m_owner, TEST_CTRL_ID));
        m_pCtrl->SetDataSink(&m_owner.m_data);
    }

    void TearDown() override
    {
        m_pCtrl.reset();
        m_sim.Signal(SIGKILL, 2000);
    }

    void StartSim(const std::vector<std::string>& vecExtra)
    {
        std::vector<std::string> vecArgs = {QM_DONGLE_SIM_PATH, "--port", std::to_string(SIM_PORT),
                                            "--ports-dir", m_dir.m_strPorts};
        vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
        ASSERT_TRUE(m_sim.Spawn(vecArgs));
        ASSERT_TRUE(m_sim.WaitForText("ready ", WAIT_MS, false)) << m_sim.Err();
    }

    // Ends the simulator and reads its summary.
    void StopSim()
    {
        ASSERT_TRUE(m_sim.Signal(SIGTERM, WAIT_MS));
        m_mapSummary = ParseSimSummary(m_sim.Out());
        ASSERT_FALSE(m_mapSummary.empty()) << m_sim.Out();
    }

    bool WaitStatus(size_t n) { return WaitUntil([&] { return m_owner.m_vecStatus.size() >= n; }, WAIT_MS); }
    bool WaitFrames(size_t n) { return WaitUntil([&] { return m_owner.m_data.Count() >= n; }, WAIT_MS); }

    void ExpectStatus(size_t i, WPARAM wState, LPARAM lCode)
    {
        ASSERT_GT(m_owner.m_vecStatus.size(), i);
        EXPECT_EQ(m_owner.m_vecStatus[i].m_wState, wState) << "report " << i;
        EXPECT_EQ(m_owner.m_vecStatus[i].m_lCode, lCode) << "report " << i;
    }

    // Start and wait for the (2, 0) report.
    void StartSniffing()
    {
        const size_t n = m_owner.m_vecStatus.size();
        ASSERT_EQ(Start(), 0);
        ASSERT_TRUE(WaitStatus(n + 1));
        ExpectStatus(n, RF_STATE_SNIFFING, RF_STATUS_ACK);
        ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    }

    // Stop and wait for the (1, 0) report; the port is closed after it.
    void StopSniffing()
    {
        const size_t n = m_owner.m_vecStatus.size();
        ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
        ASSERT_TRUE(WaitStatus(n + 1));
        ExpectStatus(n, RF_STATE_IDLE, RF_STATUS_ACK);
        ASSERT_NE(m_pCtrl->GetPort(), nullptr);
        EXPECT_FALSE(m_pCtrl->GetPort()->IsOpen());
    }

    // Every frame delivered is one whole, well-formed data frame.
    void ExpectWellFormedFrames(uint64_t* pqwBytes)
    {
        uint64_t qwBytes = 0;
        for (const CBytes& vec : m_owner.m_data.Frames()) {
            ASSERT_GE(vec.size(), static_cast<size_t>(RF_PAYLOAD_OVERHEAD));
            EXPECT_EQ(vec[0], 0x00);
            EXPECT_EQ(vec[1], 0x01);
            EXPECT_EQ(vec.size(), static_cast<size_t>(vec[2]) + 3);
            qwBytes += vec.size();
        }
        *pqwBytes = qwBytes;
    }
};

// Holds the reader thread up now and then, as a busy pipe link might.
class CSlowRecorder : public CDataRecorder {
public:
    void OnDataFrame(const uint8_t* pFrame, int32_t nLen) override
    {
        if (++m_nFrames % 250 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        CDataRecorder::OnDataFrame(pFrame, nLen);
    }

private:
    int m_nFrames = 0;   // reader thread only
};

} // namespace

TEST_F(RfCtrlSim, FloodFarLargerThanTheRingArrivesWholeThroughASlowSink)
{
    constexpr size_t FRAMES = 20000;   // over 1 MB: many times the receive ring
    StartSim({"--burst", std::to_string(FRAMES), "--frames", std::to_string(FRAMES), "--seed", "7"});
    CSlowRecorder slow;
    m_pCtrl->SetDataSink(&slow);
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    StartSniffing();
    ASSERT_TRUE(WaitUntil([&] { return slow.Count() >= FRAMES; }, 30000)) << slow.Count() << " frames";
    StopSniffing();
    uint64_t qwBytes = 0;
    for (const CBytes& vec : slow.Frames()) {
        ASSERT_EQ(vec.size(), static_cast<size_t>(vec[2]) + 3);
        qwBytes += vec.size();
    }
    const CRfCounters counters = m_pCtrl->GetCounters();
    EXPECT_EQ(counters.m_qwDataFrames, FRAMES);
    EXPECT_EQ(counters.m_qwDataBytes, qwBytes);
    EXPECT_EQ(counters.m_qwGaps, 0u);
    EXPECT_EQ(m_pCtrl->GetLostBytes(), 0u);
    size_t nOpen = 0;
    const std::vector<size_t> vecBatches = slow.Batches(&nOpen);
    EXPECT_EQ(nOpen, 0u);
    // How many frames share a wake-up depends on the machine's pace (a
    // sanitizer build keeps up in small batches); one batch per frame would
    // mean frames that arrived together were handed on one by one.
    ASSERT_FALSE(vecBatches.empty());
    EXPECT_LT(vecBatches.size(), FRAMES) << "a dense stream should be batched";
    EXPECT_GT(*std::max_element(vecBatches.begin(), vecBatches.end()), 1u);

    StopSim();
    EXPECT_EQ(m_mapSummary["frames"], FRAMES);
    EXPECT_EQ(m_mapSummary["frame_bytes"], qwBytes);
    EXPECT_GT(qwBytes, static_cast<uint64_t>(4 * UART_RX_RING_SIZE));
}

TEST_F(RfCtrlSim, CaptureDeliversEveryFrameTheDongleSent)
{
    StartSim({"--rate", "300"});
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    StartSniffing();
    ASSERT_TRUE(WaitFrames(40));
    StopSniffing();
    const size_t nFrames = m_owner.m_data.Count();
    PumpFor(50);
    EXPECT_EQ(m_owner.m_data.Count(), nFrames) << "frames after the stop acknowledgement";
    EXPECT_TRUE(m_owner.m_data.AllOffWindowThread()) << "frames were cut on the window thread";
    uint64_t qwBytes = 0;
    ExpectWellFormedFrames(&qwBytes);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 2u);
    EXPECT_EQ(m_pCtrl->GetLostBytes(), 0u);

    StopSim();
    EXPECT_EQ(m_mapSummary["set_channel"], 1u);
    EXPECT_EQ(m_mapSummary["start"], 1u);
    EXPECT_EQ(m_mapSummary["stop"], 1u);
    EXPECT_EQ(m_mapSummary["bad"], 0u);
    EXPECT_EQ(m_mapSummary["channel"], 15u) << "the channel given to StartCapture";
    EXPECT_EQ(m_mapSummary["frames"], nFrames);
    EXPECT_EQ(m_mapSummary["frame_bytes"], qwBytes);
}

TEST_F(RfCtrlSim, RepeatedCapturesReopenTheKeptPort)
{
    StartSim({"--rate", "300"});
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    CUartPort* pPort = nullptr;
    for (int i = 0; i < 3; ++i) {
        const size_t nFrames = m_owner.m_data.Count();
        StartSniffing();
        if (pPort == nullptr)
            pPort = m_pCtrl->GetPort();
        EXPECT_EQ(m_pCtrl->GetPort(), pPort);
        ASSERT_TRUE(WaitFrames(nFrames + 5));
        StopSniffing();
    }
    uint64_t qwBytes = 0;
    ExpectWellFormedFrames(&qwBytes);
    StopSim();
    EXPECT_EQ(m_mapSummary["start"], 3u);
    EXPECT_EQ(m_mapSummary["stop"], 3u);
    EXPECT_EQ(m_mapSummary["frames"], m_owner.m_data.Count());
}

TEST_F(RfCtrlSim, UnansweredSetChannelTimesOutAfterTheDefaultSecond)
{
    StartSim({"--no-ack"});
    const int64_t nStart = TestNowMs();
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitStatus(1));
    const int64_t nElapsed = m_owner.m_vecStatus[0].m_nAtMs - nStart;
    EXPECT_GE(nElapsed, static_cast<int64_t>(RF_ACK_TIMEOUT_MS));
    EXPECT_LT(nElapsed, static_cast<int64_t>(RF_ACK_TIMEOUT_MS) + 1500);
    ExpectStatus(0, RF_STATE_WAIT_CHANNEL_ACK, RF_STATUS_TIMEOUT);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    ASSERT_NE(m_pCtrl->GetPort(), nullptr);
    EXPECT_TRUE(m_pCtrl->GetPort()->IsOpen()) << "a time-out leaves the port open";
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));

    StopSim();
    EXPECT_EQ(m_mapSummary["set_channel"], 1u);
    EXPECT_EQ(m_mapSummary["start"], 0u) << "no start frame without an acknowledgement";
    EXPECT_EQ(m_mapSummary["acks"], 0u);
}

TEST_F(RfCtrlSim, ShutdownRightAfterStopStillReachesTheDongle)
{
    StartSim({"--rate", "300"});
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    StartSniffing();
    ASSERT_TRUE(WaitFrames(5));
    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    EXPECT_EQ(m_pCtrl->Shutdown(), 0);
    EXPECT_EQ(m_pCtrl->GetPort(), nullptr);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    PumpFor(100);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u) << "no report may follow Shutdown";

    StopSim();
    EXPECT_NE(m_sim.Err().find("cmd stop (00 01 04 01 00 FB 04)"), std::string::npos) << m_sim.Err();
    EXPECT_EQ(m_mapSummary["stop"], 1u);
}

TEST_F(RfCtrlSim, GarbageBetweenFramesIsDroppedCountedAndNeverAnAcknowledgement)
{
    StartSim({"--rate", "500", "--garbage"});
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    StartSniffing();
    ASSERT_TRUE(WaitFrames(80));
    StopSniffing();
    PumpFor(50);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 2u);
    uint64_t qwBytes = 0;
    ExpectWellFormedFrames(&qwBytes);

    StopSim();
    EXPECT_EQ(m_mapSummary["start"], 1u) << "a false acknowledgement resent the start frame";
    EXPECT_EQ(m_mapSummary["frames"], m_owner.m_data.Count());
    EXPECT_EQ(m_mapSummary["frame_bytes"], qwBytes);
    EXPECT_GT(m_mapSummary["garbage_bytes"], 0u);
    EXPECT_EQ(m_pCtrl->GetLostBytes(), m_mapSummary["garbage_bytes"]);
}

TEST_F(RfCtrlSim, SecondStartWhileCapturingRunsTheHandshakeAgain)
{
    StartSim({"--rate", "300"});
    m_pCtrl->SetAckTimeoutMs(WAIT_MS);
    StartSniffing();
    ASSERT_TRUE(WaitFrames(10));
    m_nChannel = 22;
    StartSniffing();
    const size_t nFrames = m_owner.m_data.Count();
    ASSERT_TRUE(WaitFrames(nFrames + 10));
    StopSniffing();
    uint64_t qwBytes = 0;
    ExpectWellFormedFrames(&qwBytes);

    StopSim();
    EXPECT_EQ(m_mapSummary["set_channel"], 2u);
    EXPECT_EQ(m_mapSummary["start"], 2u);
    EXPECT_EQ(m_mapSummary["channel"], 22u);
}
