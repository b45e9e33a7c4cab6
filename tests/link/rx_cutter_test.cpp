// The capture side's parts without threads: the cutter over a real byte ring
// (every complete frame per run, batches, gaps), the forwarder into pcap
// records, and the packing of an acknowledgement into a posted message.
#include <gtest/gtest.h>

#include <vector>

#include "link/frame_forwarder.h"
#include "link/frame_protocol.h"
#include "link/rf_ctrl.h"
#include "link/rx_cutter.h"
#include "serial/ring_buffer.h"

namespace {

typedef std::vector<uint8_t> CBytes;

CBytes Frame(int32_t nTotal, uint8_t bySeed)
{
    CBytes vec = {0x00, 0x01, static_cast<uint8_t>(nTotal - 3)};
    for (int32_t i = 3; i < nTotal; ++i)
        vec.push_back(static_cast<uint8_t>(bySeed + i * 13));
    return vec;
}

CBytes Part(const CBytes& vec, size_t nFrom, size_t nTo)
{
    return CBytes(vec.begin() + static_cast<ptrdiff_t>(nFrom), vec.begin() + static_cast<ptrdiff_t>(nTo));
}

class CRingSource : public IRfByteSource {
public:
    CRingBuffer m_ring { 4096 };
    void Arrive(const CBytes& vec) { ASSERT_EQ(m_ring.Write(vec.data(), static_cast<int32_t>(vec.size())), static_cast<int32_t>(vec.size())); }
    int32_t GetCount() override { return m_ring.GetCount(); }
    int32_t Read(uint8_t* pDst, int32_t nLen) override { return m_ring.Read(pDst, nLen); }
};

class CSinks : public IRfDataSink, public IRfAckSink {
public:
    std::vector<CBytes> m_vecData, m_vecAcks;
    std::vector<size_t> m_vecBatches;
    size_t m_nInBatch = 0;
    void OnDataFrame(const uint8_t* p, int32_t n) override { m_vecData.emplace_back(p, p + n); ++m_nInBatch; }
    void OnDataBatchEnd() override { m_vecBatches.push_back(m_nInBatch); m_nInBatch = 0; }
    void OnAckFrame(const uint8_t* p, int32_t n) override { m_vecAcks.emplace_back(p, p + n); }
};

class CRecordSink : public IPcapRecordSink {
public:
    std::vector<CBytes> m_vecRecords;
    std::vector<size_t> m_vecFlushedAt;
    void AddRecord(const uint8_t* p, int32_t n, CPcapTime) override { m_vecRecords.emplace_back(p, p + n); }
    void FlushRecords() override { m_vecFlushedAt.push_back(m_vecRecords.size()); }
};

class RxCutter : public ::testing::Test {
protected:
    CRingSource m_src;
    CSinks m_sinks;
    CRxCutter m_cutter;
    void SetUp() override
    {
        m_cutter.SetDataSink(&m_sinks);
        m_cutter.SetAckSink(&m_sinks);
    }
    void Wake()
    {
        m_cutter.CutAll(m_src);
        m_cutter.EndBatch();
    }
};

} // namespace

TEST_F(RxCutter, OneRunCutsEveryCompleteFrameAndEndsOneBatch)
{
    const CBytes vecA = Frame(40, 1), vecB = Frame(RF_FRAME_MAX_LEN, 2), vecC = Frame(12, 3);
    const CBytes vecAck = {0x00, 0x01, 0x04, 0x00, 0x00, 0xFC, 0x04};
    const CBytes vecD = Frame(60, 4);
    for (const CBytes* p : {&vecA, &vecAck, &vecB, &vecC})
        m_src.Arrive(*p);
    m_src.Arrive(Part(vecD, 0, 30));
    Wake();
    EXPECT_EQ(m_sinks.m_vecData, std::vector<CBytes>({vecA, vecB, vecC}));
    EXPECT_EQ(m_sinks.m_vecAcks, std::vector<CBytes>({vecAck}));
    EXPECT_EQ(m_sinks.m_vecBatches, std::vector<size_t>({3}));
    m_src.Arrive(Part(vecD, 30, vecD.size()));
    Wake();
    EXPECT_EQ(m_sinks.m_vecData.back(), vecD);
    // A wake-up with only an acknowledgement or nothing ends no batch.
    m_src.Arrive(vecAck);
    Wake();
    Wake();
    EXPECT_EQ(m_sinks.m_vecBatches, std::vector<size_t>({3, 1}));
    const CRfCounters counters = m_cutter.GetCounters();
    EXPECT_EQ(counters.m_qwDataFrames, 4u);   // the 12-byte frame too
    EXPECT_EQ(counters.m_qwDataBytes, vecA.size() + vecB.size() + vecC.size() + vecD.size());
    EXPECT_EQ(counters.m_qwGaps, 0u);
}

TEST_F(RxCutter, GapMidFrameDropsThatFrameOnlyAndIsCounted)
{
    const CBytes vecA = Frame(50, 1), vecB = Frame(80, 2), vecC = Frame(70, 3);
    m_src.Arrive(vecA);
    m_src.Arrive(Part(vecB, 0, 25));   // B's header is taken, its body waits
    Wake();
    ASSERT_EQ(m_sinks.m_vecData.size(), 1u);
    // 55 bytes of B were lost; what arrives next is C. Without the gap, B's
    // length would swallow C's start and a garbled frame would go out.
    m_cutter.OnGap(1, 55);
    m_src.Arrive(vecC);
    Wake();
    EXPECT_EQ(m_sinks.m_vecData, std::vector<CBytes>({vecA, vecC}));
    const CRfCounters counters = m_cutter.GetCounters();
    EXPECT_EQ(counters.m_qwGaps, 1u);
    EXPECT_EQ(counters.m_qwGapBytes, 55u);
    EXPECT_EQ(counters.m_qwDataFrames, 2u);
}

TEST(FrameForwarder, PayloadOfEachDataFrameBecomesOneRecordFlushedPerBatch)
{
    CRecordSink sink;
    CFrameForwarder fwd;
    const CBytes vecA = Frame(40, 1), vecEmpty = Frame(RF_PAYLOAD_OVERHEAD, 2), vecShort = Frame(16, 3);
    fwd.OnDataFrame(vecA.data(), static_cast<int32_t>(vecA.size()));   // no sink yet: dropped
    fwd.OnDataBatchEnd();
    fwd.SetSink(&sink);
    fwd.OnDataFrame(vecA.data(), static_cast<int32_t>(vecA.size()));
    fwd.OnDataFrame(vecShort.data(), static_cast<int32_t>(vecShort.size()));   // no payload region
    fwd.OnDataFrame(vecEmpty.data(), static_cast<int32_t>(vecEmpty.size()));
    fwd.OnDataBatchEnd();
    fwd.OnDataFrame(vecShort.data(), static_cast<int32_t>(vecShort.size()));
    fwd.OnDataBatchEnd();   // nothing added: no flush
    ASSERT_EQ(sink.m_vecRecords.size(), 2u);
    EXPECT_EQ(sink.m_vecRecords[0], Part(vecA, RF_PAYLOAD_OFFSET, vecA.size() - 7));
    EXPECT_TRUE(sink.m_vecRecords[1].empty());
    EXPECT_EQ(sink.m_vecFlushedAt, std::vector<size_t>({2}));
}

TEST(AckMessage, EveryAcknowledgementFitsTwo32BitParametersAndComesBackWhole)
{
    for (int32_t nLen = RF_FRAME_MIN_LEN; nLen <= RF_ACK_MAX_LEN; ++nLen) {
        CBytes vec = {0x00, 0x01, static_cast<uint8_t>(nLen - 3)};
        for (int32_t i = 3; i < nLen; ++i)
            vec.push_back(static_cast<uint8_t>(0xF0 + i));   // high bits set: a negative lParam
        for (uint32_t dwCapture : {0u, 1u, 0x00ABCDEFu, 0xFFFFFFFFu}) {
            WPARAM wParam = 0;
            LPARAM lParam = 0;
            CRFCtrl::PackAck(vec.data(), nLen, dwCapture, &wParam, &lParam);
            EXPECT_LE(static_cast<uint64_t>(wParam), 0xFFFFFFFFu);
            EXPECT_EQ(lParam, static_cast<LPARAM>(static_cast<int32_t>(lParam)));
            uint8_t byOut[RF_ACK_MAX_LEN] = {};
            uint32_t dwGot = 0;
            ASSERT_EQ(CRFCtrl::UnpackAck(wParam, lParam, byOut, &dwGot), nLen);
            EXPECT_EQ(CBytes(byOut, byOut + nLen), vec);
            EXPECT_EQ(dwGot, dwCapture & 0x00FFFFFFu);
        }
    }
    uint8_t byOut[RF_ACK_MAX_LEN];
    uint32_t dwGot = 0;
    EXPECT_EQ(CRFCtrl::UnpackAck(8, 0, byOut, &dwGot), 0) << "no data frame travels as an acknowledgement";
}
