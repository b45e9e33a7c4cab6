// The capture controller when the line misbehaves: the dongle unplugged in the
// middle of a handshake, and an answer cut for one capture that is still queued
// when the next capture starts.
#include "tests/link/rf_ctrl_test_scripted.h"

#include <gtest/gtest.h>

QM_REGISTER_WND_ENVIRONMENT();

TEST_F(RfCtrlScripted, UnplugIsReportedToTheOwnerOnceAndEndsTheHandshake)
{
    StartSniffing();
    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);
    ASSERT_TRUE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID));
    m_pDongle->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !m_owner.m_vecLineLostStates.empty(); }, WAIT_MS));
    EXPECT_EQ(m_owner.m_vecLineLostStates, std::vector<int32_t>({RF_STATE_IDLE}));
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    EXPECT_FALSE(m_pCtrl->IsTimerSet(RF_ACK_TIMER_ID)) << "a time-out would follow the loss";
    PumpFor(2 * TIMEOUT_MS);
    EXPECT_EQ(m_owner.m_vecLineLostStates.size(), 1u);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u) << "only the start report";
    // The owner ends the capture as Stop would; nothing hangs.
    EXPECT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    EXPECT_EQ(m_pCtrl->Shutdown(), 0);
    EXPECT_EQ(m_owner.m_vecLineLostStates.size(), 1u);
}

TEST_F(RfCtrlScripted, UnplugDuringTheNextCaptureIsReportedAgain)
{
    StartSniffing();
    m_pDongle->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return m_owner.m_vecLineLostStates.size() == 1; }, WAIT_MS));
    // Plugged in again (a new device node behind the same port number).
    m_pDongle.reset();
    m_pDongle = std::make_unique<CPtyDongle>(m_dir.m_strPorts, TEST_PORT);
    ASSERT_TRUE(m_pDongle->Ok());
    m_vecFromHost.clear();
    StartSniffing();
    m_pDongle->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return m_owner.m_vecLineLostStates.size() == 2; }, WAIT_MS));
    PumpFor(50);
    EXPECT_EQ(m_owner.m_vecLineLostStates.size(), 2u);
}

TEST_F(RfCtrlScripted, AnswerCutBeforeARestartDoesNotAdvanceTheNewHandshake)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    // Without turning the loop: the answer is cut and its message queued...
    CUartPort* pPort = m_pCtrl->GetPort();
    const uint64_t qwTaken = pPort->GetRxTaken();
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    const int64_t nEnd = TestNowMs() + WAIT_MS;
    while (pPort->GetRxTaken() < qwTaken + ACK7.size() && TestNowMs() < nEnd)
        usleep(1000);
    ASSERT_EQ(pPort->GetRxTaken(), qwTaken + ACK7.size());
    // ...when the owner starts again: the new set-channel command waits for its own answer.
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    EXPECT_TRUE(HostBytesDuring(50).empty()) << "the old answer sent the start command";
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_CHANNEL_ACK);
    // Its own answer does.
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_START_ACK);
}
