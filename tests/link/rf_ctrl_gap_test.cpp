// Where a gap lies in the received stream: the real controller and a real port
// object, with the test playing the reader thread (the port is not opened, so
// no other thread touches it): bytes stored, a gap noted, the hook called.
#include <gtest/gtest.h>

#include <vector>

#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "tests/link/rf_ctrl_test_env.h"
#include "tests/link/rf_ctrl_test_owner.h"

QM_REGISTER_WND_ENVIRONMENT();

namespace {

CBytes Frame(int32_t nTotal, uint8_t bySeed)
{
    CBytes vec = {0x00, 0x01, static_cast<uint8_t>(nTotal - 3)};
    for (int32_t i = 3; i < nTotal; ++i)
        vec.push_back(static_cast<uint8_t>(bySeed + i * 11));
    return vec;
}

class RfCtrlGap : public ::testing::Test {
protected:
    COwner m_owner;
    CRFCtrl m_ctrl;
    CUartPort m_port;
    CUartPort m_smallPort { 256 };   // a receive ring of 256 bytes (it holds 255)

    void SetUp() override
    {
        m_owner.m_pCtrl = &m_ctrl;
        ASSERT_TRUE(m_ctrl.Create(&m_owner, TEST_CTRL_ID));
        m_ctrl.SetDataSink(&m_owner.m_data);
    }
    void Arrive(const CBytes& vec, size_t nFrom = 0, size_t nTo = SIZE_MAX, CUartPort* pPort = nullptr)
    {
        nTo = std::min(nTo, vec.size());
        CUartPort& port = pPort != nullptr ? *pPort : m_port;
        ASSERT_EQ(port.StoreRx(vec.data() + nFrom, static_cast<int32_t>(nTo - nFrom)),
            static_cast<int32_t>(nTo - nFrom));
    }
    // The reader thread's call of the hook the controller sets, with the
    // controller as its context.
    void Wake(CUartPort* pPort = nullptr)
    {
        CRFCtrl::CommEventHook(&m_ctrl, pPort != nullptr ? pPort : &m_port, EV_RXCHAR);
    }
};

} // namespace

TEST_F(RfCtrlGap, FramesBeforeTheGapGoOutTheOneRunningIntoItDoesNot)
{
    const CBytes vecA = Frame(60, 1), vecB = Frame(120, 2), vecC = Frame(45, 3), vecD = Frame(30, 4);
    // One wake-up finds A, the first part of B, a gap, then C: the gap comes
    // before the cutter has seen any of it.
    Arrive(vecA);
    Arrive(vecB, 0, 50);
    m_port.NoteRxGap(70);
    Arrive(vecC);
    Wake();
    EXPECT_EQ(m_owner.m_data.Frames(), std::vector<CBytes>({vecA, vecC}));
    size_t nOpen = 0;
    EXPECT_EQ(m_owner.m_data.Batches(&nOpen), std::vector<size_t>({2}));

    // A frame whose header the cutter took in an earlier wake-up.
    Arrive(vecB, 0, 20);
    Wake();
    m_port.NoteRxGap(0);
    Arrive(vecD);
    Wake();
    EXPECT_EQ(m_owner.m_data.Frames(), std::vector<CBytes>({vecA, vecC, vecD}));
    EXPECT_EQ(m_port.GetRxCount(), 0);

    const CRfCounters counters = m_ctrl.GetCounters();
    EXPECT_EQ(counters.m_qwGaps, 2u);
    EXPECT_EQ(counters.m_qwGapBytes, 70u);
    EXPECT_EQ(counters.m_qwDataFrames, 3u);
    EXPECT_EQ(counters.m_qwNoiseBytes, 0u);
    EXPECT_EQ(m_ctrl.GetLostBytes(), 70u);
}

TEST_F(RfCtrlGap, BytesTooFewForAHeaderBeforeTheGapAreDropped)
{
    const CBytes vecB = Frame(90, 2), vecC = Frame(30, 3);
    Arrive({0x00, 0x01});   // left in the ring: not yet a header
    Wake();
    m_port.NoteRxGap(0);
    Arrive(vecB, 70);       // the tail of a frame whose start was lost
    Arrive(vecC);
    Wake();
    EXPECT_EQ(m_owner.m_data.Frames(), std::vector<CBytes>({vecC}));
    EXPECT_EQ(m_ctrl.GetCounters().m_qwNoiseBytes, 20u);
    EXPECT_EQ(m_ctrl.GetCounters().m_qwGaps, 1u);
}

TEST_F(RfCtrlGap, RingOverflowIsAGapAtTheBytesThatDidNotFit)
{
    CUartPort& port = m_smallPort;
    const CBytes vecA = Frame(100, 1), vecB = Frame(200, 2), vecC = Frame(40, 3);
    Arrive(vecA, 0, SIZE_MAX, &port);
    // B does not fit: its first 155 bytes are stored, the rest counted as lost.
    EXPECT_EQ(port.StoreRx(vecB.data(), static_cast<int32_t>(vecB.size())), 155);
    EXPECT_EQ(port.GetRxOverflowBytes(), 45u);
    Wake(&port);
    Arrive(vecC, 0, SIZE_MAX, &port);
    Wake(&port);
    EXPECT_EQ(m_owner.m_data.Frames(), std::vector<CBytes>({vecA, vecC}));
    EXPECT_EQ(m_ctrl.GetCounters().m_qwGaps, 1u);
    EXPECT_EQ(m_ctrl.GetCounters().m_qwGapBytes, 45u);
}
