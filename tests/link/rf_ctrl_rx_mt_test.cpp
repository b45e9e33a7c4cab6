// The capture controller's receive side: data frames to the data sink in every
// link state, cut on the reader thread and batched per wake-up, garbage between
// frames, and what Shutdown does to bytes and messages still on their way in
// either direction.
#include "tests/link/rf_ctrl_test_scripted.h"

#include <gtest/gtest.h>

QM_REGISTER_WND_ENVIRONMENT();

TEST_F(RfCtrlScripted, DataFramesReachTheSinkInEveryStateAndChangeNothing)
{
    m_pCtrl->SetAckTimeoutMs(5000);   // no time-out may interfere here
    std::vector<CBytes> vecSent;
    std::vector<int32_t> vecStates;   // the link state once each frame was handed on
    auto sendData = [&](int32_t nTotal, uint8_t bySeed) {
        vecSent.push_back(DataFrame(nTotal, bySeed));
        ASSERT_TRUE(m_pDongle->Send(vecSent.back()));
        ASSERT_TRUE(WaitFrames(vecSent.size()));
        PumpFor(5);
        vecStates.push_back(m_pCtrl->GetState());
    };

    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
    sendData(40, 1);
    EXPECT_TRUE(HostBytesDuring(20).empty()) << "a data frame was taken for an acknowledgement";

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
    sendData(RF_PAYLOAD_OVERHEAD, 2);   // empty payload

    ASSERT_TRUE(m_pDongle->Send(ACK7));
    ASSERT_TRUE(WaitStatus(1));
    sendData(RF_FRAME_MAX_LEN, 3);

    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);
    sendData(RF_ACK_MAX_LEN + 1, 4);   // the shortest data frame
    EXPECT_EQ(vecStates, std::vector<int32_t>({3, 4, 2, 5}));

    // A burst of frames in one write is handed on whole, in order, and batched:
    // every batch end follows at least one frame, and none is left open.
    for (int i = 0; i < 6; ++i)
        vecSent.push_back(DataFrame(30 + i * 20, static_cast<uint8_t>(10 + i)));
    ASSERT_TRUE(m_pDongle->Send(Cat({vecSent.end() - 6, vecSent.end()})));
    ASSERT_TRUE(WaitFrames(vecSent.size()));
    PumpFor(5);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_WAIT_STOP_ACK);

    const std::vector<CBytes> vecGot = m_owner.m_data.Frames();
    ASSERT_EQ(vecGot.size(), vecSent.size());
    uint64_t qwBytes = 0;
    for (size_t i = 0; i < vecSent.size(); ++i) {
        EXPECT_EQ(vecGot[i], vecSent[i]) << "frame " << i;
        qwBytes += vecSent[i].size();
    }
    size_t nOpen = 0;
    const std::vector<size_t> vecBatches = m_owner.m_data.Batches(&nOpen);
    EXPECT_EQ(nOpen, 0u) << "frames without a batch end";
    EXPECT_LE(vecBatches.size(), vecSent.size());
    for (size_t nInBatch : vecBatches)
        EXPECT_GT(nInBatch, 0u) << "a batch end without frames";
    EXPECT_TRUE(m_owner.m_data.AllOffWindowThread());
    const CRfCounters counters = m_pCtrl->GetCounters();
    EXPECT_EQ(counters.m_qwDataFrames, vecSent.size());
    EXPECT_EQ(counters.m_qwDataBytes, qwBytes);
    EXPECT_EQ(counters.m_qwGaps, 0u);
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u);
    EXPECT_EQ(m_pCtrl->GetLostBytes(), 0u);
}

TEST_F(RfCtrlScripted, DataFramesWhileIdleReachTheSink)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitStatus(1));   // no answer: (3, 0xFFFF), idle, port open
    ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
    const CBytes vecFrame = DataFrame(100, 9);
    ASSERT_TRUE(m_pDongle->Send(vecFrame));
    ASSERT_TRUE(WaitFrames(1));
    EXPECT_EQ(m_owner.m_data.Frames()[0], vecFrame);
    PumpFor(5);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);
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

TEST_F(RfCtrlScripted, AcknowledgementQueuedWhenShutdownDeletesThePortIsHarmless)
{
    StartSniffing();
    ASSERT_EQ(m_pCtrl->StopCapture(), RF_CMD_LEN);
    ASSERT_EQ(TakeFromHost(RF_CMD_LEN), STOP_FRAME);
    // Without turning the loop: the reader thread cuts the answer and posts it.
    CUartPort* pPort = m_pCtrl->GetPort();
    const uint64_t qwTaken = pPort->GetRxTaken();
    ASSERT_TRUE(m_pDongle->Send(ACK7));
    const int64_t nEnd = TestNowMs() + WAIT_MS;
    while (pPort->GetRxTaken() < qwTaken + ACK7.size() && TestNowMs() < nEnd)
        usleep(1000);
    ASSERT_EQ(pPort->GetRxTaken(), qwTaken + ACK7.size());
    m_pCtrl->Shutdown();
    PumpFor(50);   // the queued WM_RF_ACK arrives with no port and in state 1
    EXPECT_EQ(m_owner.m_vecStatus.size(), 1u) << "no report may follow Shutdown";
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_IDLE);

    // The controller is still usable: a new start makes a new port object.
    m_vecFromHost.clear();
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
}

TEST_F(RfCtrlScripted, GarbageIsSkippedAndCountedNotTakenForAnAcknowledgement)
{
    m_pCtrl->SetAckTimeoutMs(5000);
    ASSERT_EQ(Start(), 0);
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
    const size_t nFrames = m_owner.m_data.Count();
    ASSERT_TRUE(m_pDongle->Send(Cat({{0x13, 0x00, 0x37}, vecA, {0x01, 0x01, 0x00, 0x42}, vecB})));
    ASSERT_TRUE(WaitFrames(nFrames + 2));
    EXPECT_EQ(m_owner.m_data.Frames()[nFrames], vecA);
    EXPECT_EQ(m_owner.m_data.Frames()[nFrames + 1], vecB);
    EXPECT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    const uint64_t qwLost = m_pCtrl->GetLostBytes();
    EXPECT_EQ(qwLost, vecGarbage.size() + 7);
    EXPECT_EQ(m_pCtrl->GetCounters().m_qwNoiseBytes, qwLost);

    // The count survives the port's deletion.
    m_pCtrl->Shutdown();
    EXPECT_EQ(m_pCtrl->GetLostBytes(), qwLost);
}

TEST_F(RfCtrlScripted, ShortWriteOfTheStopFrameChangesNothing)
{
    StartSniffing();
    // Nobody reads the line now: once the pty's queue and then the transmit
    // ring are full, the ring takes nothing more.
    CUartPort* pPort = m_pCtrl->GetPort();
    const CBytes vecFill(512, 0x55);
    int64_t nEnd = TestNowMs() + WAIT_MS;
    int nZeroInARow = 0;
    while (nZeroInARow < 20 && TestNowMs() < nEnd) {
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
