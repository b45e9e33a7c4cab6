// The capture controller's link state machine: handshakes, time-outs, what
// the owner may do inside a report, and starts and stops in every state.
#include "tests/link/rf_ctrl_test_scripted.h"

#include <gtest/gtest.h>

QM_REGISTER_WND_ENVIRONMENT();

TEST_F(RfCtrlScripted, NormalStartThenStopClosesThePortAndKeepsTheObject)
{
    ASSERT_EQ(Start(), 0);
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

TEST_F(RfCtrlScripted, UnansweredSetChannelTimesOutOnceAndLeavesThePortOpen)
{
    const int64_t nStart = TestNowMs();
    ASSERT_EQ(Start(), 0);
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
            nStopAt = TestNowMs();
            nStopResult = m_pCtrl->StopCapture();
            nStateInReport = m_pCtrl->GetState();
        }
    };
    ASSERT_EQ(Start(), 0);
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

TEST_F(RfCtrlScripted, SecondStartWhileCapturingReopensOnThePortAndChannelGiven)
{
    StartSniffing();
    CPtyDongle other(m_dir.m_strPorts, TEST_PORT + 1);
    ASSERT_TRUE(other.Ok());
    m_nPort = TEST_PORT + 1;
    m_nChannel = 25;
    CUartPort* pPort = m_pCtrl->GetPort();

    ASSERT_EQ(Start(), 0);
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
    m_nPort = 250;   // nothing published there
    EXPECT_EQ(Start(), -1);
    ASSERT_NE(m_pCtrl->GetPort(), nullptr);
    EXPECT_FALSE(m_pCtrl->GetPort()->IsOpen());
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_EQ(g_pRFCtrl, m_pCtrl.get());

    m_nPort = TEST_PORT;
    StartSniffing();
}

TEST_F(RfCtrlScripted, OtherTimerIdsOnlyGetDefaultProcessing)
{
    m_pCtrl->SetAckTimeoutMs(5000);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(m_pCtrl->SetTimer(7, 5));
    PumpFor(60);
    ASSERT_TRUE(m_pCtrl->KillTimer(7));
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    EXPECT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    EXPECT_TRUE(m_owner.m_vecStatus.empty());
}
