// The capture controller's link state machine, with the real controller, the
// real serial port and a real pseudo-terminal on which the test plays the
// dongle byte by byte, so that every answer (or silence) comes exactly when a
// case needs it.
#include "link/frame_protocol.h"
#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "shell/settings.h"
#include "tests/link/rf_ctrl_test_env.h"
#include "tests/link/rf_ctrl_test_owner.h"
#include "tests/link/rf_ctrl_test_posix.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

QM_REGISTER_QT_APP_ENVIRONMENT();

namespace {

constexpr int32_t TEST_PORT = 201;
constexpr uint32_t TIMEOUT_MS = 150;   // the controller's acknowledgement time-out here
constexpr int WAIT_MS = 3000;          // upper bound for anything that should happen

const CBytes START_FRAME = Bytes(g_byStartSniffFrame, RF_CMD_LEN);
const CBytes STOP_FRAME = Bytes(g_byStopSniffFrame, RF_CMD_LEN);
const CBytes ACK7 = {0x00, 0x01, 0x04, 0x00, 0x00, 0xFC, 0x04};
const CBytes ACK3 = {0x00, 0x01, 0x00};

CBytes SetChannelFrame(uint8_t byChannel)
{
    return {0x00, 0x01, 0x04, 0x00, byChannel, static_cast<uint8_t>(0xFC - byChannel), 0x04};
}

// 00 01 LEN and a body that differs per seed.
CBytes DataFrame(int32_t nTotal, uint8_t bySeed)
{
    CBytes vec = {0x00, 0x01, static_cast<uint8_t>(nTotal - 3)};
    for (int32_t i = 3; i < nTotal; ++i)
        vec.push_back(static_cast<uint8_t>(bySeed + i * 7));
    return vec;
}

CBytes Cat(const std::vector<CBytes>& vecParts)
{
    CBytes vec;
    for (const CBytes& p : vecParts)
        vec.insert(vec.end(), p.begin(), p.end());
    return vec;
}

class RfCtrlScripted : public ::testing::Test {
protected:
    CTestDir m_dir;
    std::unique_ptr<CPtyDongle> m_pDongle;
    COwner m_owner;
    std::unique_ptr<CRFCtrl> m_pCtrl;
    CBytes m_vecFromHost;   // bytes the host sent that the test has not yet taken

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Ok());
        m_pDongle = std::make_unique<CPtyDongle>(m_dir.m_strPorts, TEST_PORT);
        ASSERT_TRUE(m_pDongle->Ok());
        ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", TEST_PORT), 1);
        ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 20), 1);
        m_pCtrl = std::make_unique<CRFCtrl>();
        m_owner.m_pCtrl = m_pCtrl.get();
        ASSERT_TRUE(m_pCtrl->Create(&m_owner, IDC_RFCTRL));
        EXPECT_EQ(g_pRFCtrl, m_pCtrl.get());
        m_pCtrl->SetAckTimeoutMs(TIMEOUT_MS);
    }

    void TearDown() override
    {
        m_pCtrl.reset();
        EXPECT_EQ(g_pRFCtrl, nullptr) << "the global still points at a destroyed controller";
        m_pDongle.reset();
    }

    // Keeps the event loop turning until the host has sent n more bytes; then
    // takes and returns exactly those (fewer on time-out).
    CBytes TakeFromHost(size_t n, CPtyDongle* pDongle = nullptr)
    {
        CPtyDongle& dongle = pDongle != nullptr ? *pDongle : *m_pDongle;
        WaitUntil([&] {
            CBytes vec = dongle.ReadAvailable();
            m_vecFromHost.insert(m_vecFromHost.end(), vec.begin(), vec.end());
            return m_vecFromHost.size() >= n;
        }, WAIT_MS);
        const size_t nTake = std::min(n, m_vecFromHost.size());
        CBytes vec(m_vecFromHost.begin(), m_vecFromHost.begin() + static_cast<ptrdiff_t>(nTake));
        m_vecFromHost.erase(m_vecFromHost.begin(), m_vecFromHost.begin() + static_cast<ptrdiff_t>(nTake));
        return vec;
    }

    // Turns the loop for nMs and returns everything the host sent meanwhile.
    CBytes HostBytesDuring(int nMs)
    {
        WaitUntil([&] {
            CBytes vec = m_pDongle->ReadAvailable();
            m_vecFromHost.insert(m_vecFromHost.end(), vec.begin(), vec.end());
            return false;
        }, nMs);
        CBytes vec;
        vec.swap(m_vecFromHost);
        return vec;
    }

    bool WaitFrames(size_t n) { return WaitUntil([&] { return m_owner.m_vecFrames.size() >= n; }, WAIT_MS); }
    bool WaitStatus(size_t n) { return WaitUntil([&] { return m_owner.m_vecStatus.size() >= n; }, WAIT_MS); }

    // Sends a data frame as a marker and waits for it: everything the dongle
    // sent before it has then been worked off.
    void Flush(uint8_t bySeed = 0x5A)
    {
        const size_t n = m_owner.m_vecFrames.size();
        ASSERT_TRUE(m_pDongle->Send(DataFrame(20, bySeed)));
        ASSERT_TRUE(WaitFrames(n + 1));
    }

    // Start and both handshake steps; ends sniffing with (2, 0) reported.
    void StartSniffing()
    {
        const size_t nStatus = m_owner.m_vecStatus.size();
        ASSERT_EQ(m_pCtrl->StartCapture(), 0);
        ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
        ASSERT_TRUE(m_pDongle->Send(ACK7));
        ASSERT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
        ASSERT_TRUE(m_pDongle->Send(ACK7));
        ASSERT_TRUE(WaitStatus(nStatus + 1));
        ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    }
};

} // namespace

TEST_F(RfCtrlScripted, NormalStartThenStopClosesThePortAndKeepsTheObject)
{
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    ASSERT_NE(m_pCtrl->GetPort(), nullptr);
    EXPECT_TRUE(m_pCtrl->GetPort()->IsOpen());
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_START_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_TRUE(m_owner.m_vecStatus.empty());

    ASSERT_TRUE(m_pDongle->Send(ACK3));   // any length up to 7 is an acknowledgement
    ASSERT_TRUE(WaitStatus(1));
    EXPECT_EQ(m_owner.m_vecStatus[0].m_wState, 2u);
    EXPECT_EQ(m_owner.m_vecStatus[0].m_lCode, 0);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));

    CUartPort* pPort = m_pCtrl->GetPort();
    EXPECT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_STOP_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_TRUE(WaitStatus(2));
    EXPECT_EQ(m_owner.m_vecStatus[1].m_wState, 1u);
    EXPECT_EQ(m_owner.m_vecStatus[1].m_lCode, 0);
    EXPECT_TRUE(m_owner.m_vecStatus[1].m_bPortOpen) << "the port closes after the report, not before";
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(m_pCtrl->GetPort(), pPort) << "the port object is kept for the next start";
    EXPECT_FALSE(pPort->IsOpen());

    // Nothing more follows: no late time-out report.
    PumpFor(2 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 2u);

    // And the kept object serves the next capture.
    StartSniffing();
    EXPECT_EQ(m_pCtrl->GetPort(), pPort);
}

TEST_F(RfCtrlScripted, AcknowledgementsWhileIdleOrSniffingChangeNothing)
{
    StartSniffing();
    const size_t nStatus = m_owner.m_vecStatus.size();
    ASSERT_TRUE(m_pDongle->Send(Cat({ACK7, ACK3})));
    Flush();
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_TRUE(HostBytesDuring(30).empty()) << "an acknowledgement while sniffing made the host send";

    // Idle with the port open: after an unanswered stop.
    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);
    ASSERT_TRUE(WaitStatus(nStatus + 1));
    EXPECT_EQ(m_owner.m_vecStatus.back().m_wState, 5u);
    EXPECT_EQ(m_owner.m_vecStatus.back().m_lCode, 0xFFFF);
    ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    ASSERT_TRUE(m_pCtrl->GetPort()->IsOpen()) << "a time-out leaves the port open";
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    Flush();
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_TRUE(m_pCtrl->GetPort()->IsOpen());
    PumpFor(2 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecStatus.size(), nStatus + 1);
    EXPECT_TRUE(HostBytesDuring(10).empty());
}

TEST_F(RfCtrlScripted, DataFramesReachTheOwnerInEveryStateAndChangeNothing)
{
    m_pCtrl->SetAckTimeoutMs(5000);   // no time-out may interfere here
    std::vector<CBytes> vecSent;
    auto sendData = [&](int32_t nTotal, uint8_t bySeed) {
        vecSent.push_back(DataFrame(nTotal, bySeed));
        ASSERT_TRUE(m_pDongle->Send(vecSent.back()));
        ASSERT_TRUE(WaitFrames(vecSent.size()));
    };

    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    sendData(40, 1);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(HostBytesDuring(20).empty()) << "a data frame was taken for an acknowledgement";

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    sendData(RF_PAYLOAD_OVERHEAD, 2);   // empty payload
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_START_ACK);

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_TRUE(WaitStatus(1));
    sendData(RF_FRAME_MAX_LEN, 3);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);

    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);
    sendData(RF_ACK_MAX_LEN + 1, 4);   // the shortest data frame
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_STOP_ACK);

    // A burst of frames in one write is worked off one per message, in order.
    for (int i = 0; i < 6; ++i)
        vecSent.push_back(DataFrame(30 + i * 20, static_cast<uint8_t>(10 + i)));
    ASSERT_TRUE(m_pDongle->Send(Cat({vecSent.end() - 6, vecSent.end()})));
    ASSERT_TRUE(WaitFrames(vecSent.size()));

    ASSERT_EQ(m_owner.m_vecFrames.size(), vecSent.size());
    for (size_t i = 0; i < vecSent.size(); ++i)
        EXPECT_EQ(m_owner.m_vecFrames[i], vecSent[i]) << "frame " << i;
    const std::vector<int32_t> vecStates = {3, 4, 2, 5, 5, 5, 5, 5, 5, 5};
    EXPECT_EQ(m_owner.m_vecFrameStates, vecStates);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u);
    EXPECT_EQ(m_pCtrl->GetLostBytes(), 0u);
}

TEST_F(RfCtrlScripted, DataFramesWhileIdleReachTheOwner)
{
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_TRUE(WaitStatus(1));   // no answer: (3, 0xFFFF), idle, port open
    ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    const CBytes vecFrame = DataFrame(100, 9);
    ASSERT_TRUE(m_pDongle->Send(vecFrame));
    ASSERT_TRUE(WaitFrames(1));
    EXPECT_EQ(m_owner.m_vecFrames[0], vecFrame);
    EXPECT_EQ(m_owner.m_vecFrameStates[0], RF_STATE_IDLE);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
}

TEST_F(RfCtrlScripted, UnansweredSetChannelTimesOutOnceAndLeavesThePortOpen)
{
    const int64_t nStart = NowMs();
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_TRUE(WaitStatus(1));
    EXPECT_GE(m_owner.m_vecStatus[0].m_nAtMs - nStart, static_cast<int64_t>(TIMEOUT_MS));
    EXPECT_EQ(m_owner.m_vecStatus[0].m_wState, 3u);
    EXPECT_EQ(m_owner.m_vecStatus[0].m_lCode, 0xFFFF);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    ASSERT_NE(m_pCtrl->GetPort(), nullptr);
    EXPECT_TRUE(m_pCtrl->GetPort()->IsOpen());
    PumpFor(3 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u) << "a time-out is reported once";
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    EXPECT_TRUE(HostBytesDuring(10).empty()) << "no frame is resent after a time-out";
}

// The owner stops the capture from inside the time-out report: its stop puts
// the link in state 5 with the timer running, then the report's return forces
// state 1. The stop's acknowledgement then finds state 1 and is ignored, and
// the still running timer reports (1, 0xFFFF) one period after the stop.
TEST_F(RfCtrlScripted, StopInsideTheStartTimeOutReportIsForcedIdle)
{
    int32_t nStopResult = 0;
    int32_t nStateInReport = 0;
    int64_t nStopAt = 0;
    m_owner.m_fnOnStatus = [&](WPARAM wState, LPARAM lCode) {
        if (wState == RF_STATE_WAIT_START_ACK && lCode == RF_STATUS_TIMEOUT) {
            nStopAt = NowMs();
            nStopResult = m_pCtrl->StopCapture();
            nStateInReport = m_pCtrl->GetState();
        }
    };
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    // No start acknowledgement.
    ASSERT_TRUE(WaitStatus(1));
    EXPECT_EQ(m_owner.m_vecStatus[0].m_wState, 4u);
    EXPECT_EQ(m_owner.m_vecStatus[0].m_lCode, 0xFFFF);
    EXPECT_EQ(nStopResult, RF_CMD_LEN);
    EXPECT_EQ(nStateInReport, RF_STATE_WAIT_STOP_ACK);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID)) << "the stop's timer keeps running";
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);

    ASSERT_TRUE(m_pDongle->Send(ACK7));   // the stop's acknowledgement, now in state 1
    Flush();
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_TRUE(m_pCtrl->GetPort()->IsOpen()) << "an ignored stop acknowledgement closes nothing";

    ASSERT_TRUE(WaitStatus(2));
    EXPECT_EQ(m_owner.m_vecStatus[1].m_wState, 1u);
    EXPECT_EQ(m_owner.m_vecStatus[1].m_lCode, 0xFFFF);
    EXPECT_GE(m_owner.m_vecStatus[1].m_nAtMs - nStopAt, static_cast<int64_t>(TIMEOUT_MS));
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    PumpFor(2 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 2u);
}

TEST_F(RfCtrlScripted, SecondStartWhileCapturingReopensWithTheSettingsNowInForce)
{
    StartSniffing();
    CPtyDongle other(m_dir.m_strPorts, TEST_PORT + 1);
    ASSERT_TRUE(other.Ok());
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", TEST_PORT + 1), 1);
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "Channel", 25), 1);
    CUartPort* pPort = m_pCtrl->GetPort();

    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(m_pCtrl->GetPort(), pPort);
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN, &other), SetChannelFrame(25));
    EXPECT_TRUE(HostBytesDuring(20).empty()) << "the old port still got commands";

    // The handshake runs on the new port.
    ASSERT_TRUE(other.Send(ACK7));
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN, &other), START_FRAME);
    ASSERT_TRUE(other.Send(ACK7));
    ASSERT_TRUE(WaitStatus(2));
    EXPECT_EQ(m_owner.m_vecStatus[1].m_wState, 2u);
    m_pCtrl->Shutdown();   // before `other` goes away
}

TEST_F(RfCtrlScripted, StopAndShutdownWithoutAPortObject)
{
    EXPECT_EQ(m_pCtrl->StopCapture(), -1);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(m_pCtrl->Shutdown(), 0);
    EXPECT_EQ(m_pCtrl->GetPort(), nullptr);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_TRUE(m_owner.m_vecStatus.empty());
}

TEST_F(RfCtrlScripted, StartOnAMissingPortFailsAndKeepsTheClosedObject)
{
    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", 250), 1);   // nothing published there
    EXPECT_EQ(m_pCtrl->StartCapture(), -1);
    ASSERT_NE(m_pCtrl->GetPort(), nullptr);
    EXPECT_FALSE(m_pCtrl->GetPort()->IsOpen());
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(g_pRFCtrl, m_pCtrl.get());

    ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, "ComPort", TEST_PORT), 1);
    StartSniffing();
}

TEST_F(RfCtrlScripted, ShutdownRightAfterStopStillDeliversTheStopFrame)
{
    StartSniffing();
    EXPECT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    EXPECT_EQ(m_pCtrl->Shutdown(), 0);
    EXPECT_EQ(m_pCtrl->GetPort(), nullptr);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    // The port is closed now; what reached the line before the close is in the
    // master's queue.
    EXPECT_EQ(m_pDongle->ReadN(RF_CMD_LEN, 500), STOP_FRAME);
    PumpFor(2 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u) << "no report may follow Shutdown";
}

TEST_F(RfCtrlScripted, MessageQueuedWhenShutdownDeletesThePortIsHarmless)
{
    StartSniffing();
    const size_t nFrames = m_owner.m_vecFrames.size();
    const CBytes vecFrame = DataFrame(60, 7);
    ASSERT_TRUE(m_pDongle->Send(vecFrame));
    // Without turning the loop: the reader thread fills the ring and posts.
    CUartPort* pPort = m_pCtrl->GetPort();
    const int64_t nEnd = NowMs() + WAIT_MS;
    while (pPort->m_pRxBuffer->GetCount() < static_cast<int32_t>(vecFrame.size()) && NowMs() < nEnd)
        usleep(1000);
    ASSERT_EQ(pPort->m_pRxBuffer->GetCount(), static_cast<int32_t>(vecFrame.size()));
    m_pCtrl->Shutdown();
    PumpFor(50);   // the queued WM_RF_RX_READY arrives with no port
    EXPECT_EQ(m_owner.m_vecFrames.size(), nFrames);

    // The controller is still usable: a new start makes a new port object.
    m_vecFromHost.clear();
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
}

TEST_F(RfCtrlScripted, GarbageIsSkippedAndCountedNotTakenForAnAcknowledgement)
{
    m_pCtrl->SetAckTimeoutMs(5000);
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    const CBytes vecGarbage = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    ASSERT_TRUE(m_pDongle->Send(vecGarbage));
    Flush(1);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(HostBytesDuring(20).empty()) << "six garbage bytes advanced the handshake";
    EXPECT_EQ(m_pCtrl->GetLostBytes(), vecGarbage.size());

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_TRUE(WaitStatus(1));

    // Garbage between data frames while sniffing: the frames come through whole.
    const CBytes vecA = DataFrame(50, 21), vecB = DataFrame(70, 22);
    const size_t nFrames = m_owner.m_vecFrames.size();
    ASSERT_TRUE(m_pDongle->Send(Cat({{0x13, 0x00, 0x37}, vecA, {0x01, 0x01, 0x00, 0x42}, vecB})));
    ASSERT_TRUE(WaitFrames(nFrames + 2));
    EXPECT_EQ(m_owner.m_vecFrames[nFrames], vecA);
    EXPECT_EQ(m_owner.m_vecFrames[nFrames + 1], vecB);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    const uint64_t qwLost = m_pCtrl->GetLostBytes();
    EXPECT_EQ(qwLost, vecGarbage.size() + 7);

    // The count survives the port's deletion.
    m_pCtrl->Shutdown();
    EXPECT_EQ(m_pCtrl->GetLostBytes(), qwLost);
}

TEST_F(RfCtrlScripted, OtherTimerIdsOnlyGetDefaultProcessing)
{
    m_pCtrl->SetAckTimeoutMs(5000);
    ASSERT_EQ(m_pCtrl->StartCapture(), 0);
    ASSERT_TRUE(m_pCtrl->SetTimer(7, 5));
    PumpFor(60);
    ASSERT_TRUE(m_pCtrl->KillTimer(7));
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_TRUE(m_owner.m_vecStatus.empty());
}

TEST_F(RfCtrlScripted, ShortWriteOfTheStopFrameChangesNothing)
{
    StartSniffing();
    // Nobody reads the line now: once the pty's queue and then the transmit
    // ring are full, the ring takes nothing more.
    CUartPort* pPort = m_pCtrl->GetPort();
    const CBytes vecFill(512, 0x55);
    int64_t nEnd = NowMs() + WAIT_MS;
    int nZeroInARow = 0;
    while (nZeroInARow < 20 && NowMs() < nEnd) {
        if (pPort->Write(vecFill.data(), static_cast<int32_t>(vecFill.size())) == 0)
            ++nZeroInARow;
        else
            nZeroInARow = 0;
        usleep(1000);
    }
    ASSERT_EQ(nZeroInARow, 20) << "the transmit side never filled up";
    const int32_t nAccepted = m_pCtrl->StopCapture();
    EXPECT_LT(nAccepted, RF_CMD_LEN);
    EXPECT_GE(nAccepted, 0);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u);
}
