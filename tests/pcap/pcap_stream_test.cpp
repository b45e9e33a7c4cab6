// The pcap stream's bytes, the writer over partial and failing sinks, the
// record time stamps, and libpcap reading back what the writer produced.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/file_sink.h"
#include "common/temp_dir_posix.h"
#include "pcap/pcap_stream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class CMemSink : public IByteSink {
public:
    int32_t WriteBytes(const uint8_t* p, int32_t n) override
    {
        ++m_nCalls;
        int32_t nTake = n;
        if (m_nMaxPerWrite > 0 && nTake > m_nMaxPerWrite)
            nTake = m_nMaxPerWrite;
        if (m_nBudget >= 0) {
            if (nTake > m_nBudget)
                nTake = m_nBudget;
            m_nBudget -= nTake;
        }
        m_by.insert(m_by.end(), p, p + nTake);
        return m_nOverReport ? n + 1 : nTake;
    }
    Bytes m_by;
    int32_t m_nCalls = 0;
    int32_t m_nMaxPerWrite = 0;   // > 0: partial writes
    int32_t m_nBudget = -1;       // >= 0: bytes it will still take, then 0
    bool m_nOverReport = false;   // claims one byte more than asked
};

Bytes RecordHeader(uint32_t dwLen, CPcapTime tm)
{
    Bytes by(PCAP_RECORD_HEADER_LEN);
    BuildPcapRecordHeader(by.data(), dwLen, tm);
    return by;
}

Bytes Payload(int32_t n, uint8_t bySeed)
{
    Bytes by;
    for (int32_t i = 0; i < n; ++i)
        by.push_back(static_cast<uint8_t>(bySeed + i * 7));
    return by;
}

const Bytes GLOBAL_HEADER = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00};

}  // namespace

TEST(PcapHeaders, GlobalHeaderBytes)
{
    Bytes by(PCAP_GLOBAL_HEADER_LEN, 0xEE);
    BuildPcapGlobalHeader(by.data());
    EXPECT_EQ(by, GLOBAL_HEADER);
}

TEST(PcapHeaders, RecordHeaderBytes)
{
    EXPECT_EQ(RecordHeader(20, CPcapTime{1700000000u, 789000u}),
              (Bytes{0x00, 0xF1, 0x53, 0x65, 0x08, 0x0A, 0x0C, 0x00, 0x14, 0x00, 0x00, 0x00, 0x16, 0x00, 0x00, 0x00}));
    // Empty payload still declares the two FCS bytes on the air.
    EXPECT_EQ(RecordHeader(0, CPcapTime{0, 0}),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0}));
    // Every field little-endian, including an odd microsecond count.
    EXPECT_EQ(RecordHeader(241, CPcapTime{0xFFFFFFFFu, 999999u}),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x3F, 0x42, 0x0F, 0x00, 0xF1, 0x00, 0x00, 0x00, 0xF3, 0x00, 0x00, 0x00}));
    EXPECT_EQ(RecordHeader(65535, CPcapTime{1, 1}),
              (Bytes{1, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0x01, 0x00, 0x01, 0x00}));
}

TEST(PcapHeaders, RecordSizeIsReadBackFromTheHeaderNotTheOnAirLength)
{
    for (uint32_t dwLen : {0u, 1u, 20u, 241u, 256u, 65535u}) {
        const Bytes header = RecordHeader(dwLen, CPcapTime{7, 8});
        EXPECT_EQ(PcapRecordSize(header.data()), PCAP_RECORD_HEADER_LEN + static_cast<size_t>(dwLen)) << dwLen;
    }
    // Every byte of the included length counts.
    const Bytes header = {0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0};
    EXPECT_EQ(PcapRecordSize(header.data()), PCAP_RECORD_HEADER_LEN + size_t{0x01020304});
}

TEST(PcapClock, StampsSplitMicrosecondsAndNeverGoBack)
{
    CPcapClock clock;
    CPcapTime tm = clock.Stamp(1700000000789123ull);
    EXPECT_EQ(tm.m_dwSec, 1700000000u);
    EXPECT_EQ(tm.m_dwUsec, 789123u);
    tm = clock.Stamp(1700000000999999ull);
    EXPECT_EQ(tm.m_dwUsec, 999999u);
    tm = clock.Stamp(1700000001000000ull);   // the second rolls over, the fraction restarts
    EXPECT_EQ(tm.m_dwSec, 1700000001u);
    EXPECT_EQ(tm.m_dwUsec, 0u);
    // The clock steps back by a second: stamps hold at the last one handed out.
    tm = clock.Stamp(1700000000000001ull);
    EXPECT_EQ(tm.m_dwSec, 1700000001u);
    EXPECT_EQ(tm.m_dwUsec, 0u);
    tm = clock.Stamp(1700000001000007ull);
    EXPECT_EQ(tm.m_dwSec, 1700000001u);
    EXPECT_EQ(tm.m_dwUsec, 7u);
}

TEST(PcapClock, NowIsTheRealTimeWithMicroseconds)
{
    using namespace std::chrono;
    const int64_t nBefore = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const CPcapTime tm = PcapNow();
    const int64_t nAfter = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const int64_t nStamp = static_cast<int64_t>(tm.m_dwSec) * 1000000 + tm.m_dwUsec;
    EXPECT_GE(nStamp, nBefore);
    EXPECT_LE(nStamp, nAfter);
    EXPECT_LT(tm.m_dwUsec, 1000000u);

    // Stamps are not whole milliseconds, and in order they never run back.
    bool bSubMillisecond = false;
    uint64_t qwLast = 0;
    for (int i = 0; i < 100000; ++i) {
        const CPcapTime t = PcapNow();
        const uint64_t qw = static_cast<uint64_t>(t.m_dwSec) * 1000000u + t.m_dwUsec;
        ASSERT_GE(qw, qwLast);
        qwLast = qw;
        if (t.m_dwUsec % 1000 != 0) {
            bSubMillisecond = true;
            if (i > 100)
                break;
        }
    }
    EXPECT_TRUE(bSubMillisecond);
}

TEST(PcapWriter, GlobalHeaderThenHeaderAndPayloadPerRecord)
{
    CMemSink sink;
    CPcapStreamWriter writer(sink);
    const Bytes a = Payload(20, 0x10), b = Payload(241, 0x99);
    const CPcapTime tmA{1700000000u, 1u}, tmB{1700000000u, 2u};
    ASSERT_TRUE(writer.WriteGlobalHeader());
    ASSERT_TRUE(writer.WriteRecordAt(a.data(), 20, tmA));
    ASSERT_TRUE(writer.WriteRecordAt(nullptr, 0, tmB));
    ASSERT_TRUE(writer.WriteRecordAt(b.data(), 241, tmB));
    Bytes want = GLOBAL_HEADER;
    for (const Bytes& p : {RecordHeader(20, tmA), a, RecordHeader(0, tmB), RecordHeader(241, tmB), b})
        want.insert(want.end(), p.begin(), p.end());
    EXPECT_EQ(sink.m_by, want);
}

TEST(PcapWriter, RefusesLengthsOutsideTheSnaplen)
{
    CMemSink sink;
    CPcapStreamWriter writer(sink);
    const Bytes big(65536, 0x5A);
    EXPECT_FALSE(writer.WriteRecord(big.data(), -1));
    EXPECT_FALSE(writer.WriteRecord(big.data(), -17));
    EXPECT_FALSE(writer.WriteRecord(big.data(), 65536));
    EXPECT_FALSE(writer.WriteRecord(big.data(), INT32_MAX));
    EXPECT_FALSE(writer.WriteRecord(nullptr, 5));
    EXPECT_EQ(sink.m_nCalls, 0);   // nothing at all reached the stream
    EXPECT_TRUE(writer.WriteRecord(big.data(), 65535));
    EXPECT_EQ(sink.m_by.size(), static_cast<size_t>(PCAP_RECORD_HEADER_LEN + 65535));
}

TEST(PcapWriter, PartialWritesStillGiveAnExactStream)
{
    CMemSink whole, dribble;
    dribble.m_nMaxPerWrite = 3;
    CPcapStreamWriter w1(whole), w2(dribble);
    const Bytes p = Payload(100, 0x42);
    const CPcapTime tm{12345u, 678u};
    ASSERT_TRUE(w1.WriteGlobalHeader());
    ASSERT_TRUE(w1.WriteRecordAt(p.data(), 100, tm));
    ASSERT_TRUE(w2.WriteGlobalHeader());
    ASSERT_TRUE(w2.WriteRecordAt(p.data(), 100, tm));
    EXPECT_EQ(dribble.m_by, whole.m_by);
    EXPECT_GT(dribble.m_nCalls, whole.m_nCalls);
}

TEST(PcapWriter, ASinkThatStopsTakingIsReportedAsFailure)
{
    const Bytes p = Payload(50, 0x01);
    {
        CMemSink sink;
        sink.m_nBudget = 10;   // breaks inside the global header
        CPcapStreamWriter writer(sink);
        EXPECT_FALSE(writer.WriteGlobalHeader());
    }
    {
        CMemSink sink;
        sink.m_nBudget = PCAP_RECORD_HEADER_LEN + 20;   // breaks inside the payload
        CPcapStreamWriter writer(sink);
        EXPECT_FALSE(writer.WriteRecordAt(p.data(), 50, CPcapTime{1, 2}));
    }
    {
        CMemSink sink;
        sink.m_nOverReport = true;
        CPcapStreamWriter writer(sink);
        EXPECT_FALSE(writer.WriteGlobalHeader());
    }
}

TEST(PcapWriter, LibpcapReadsTheFileBack)
{
    CTestTempDir dir("qm-pcap-stream");
    const std::string strPath = dir / "stream.pcap";
    const std::vector<Bytes> payloads = {Payload(20, 1), Payload(0, 0), Payload(127, 3), Payload(241, 9), Payload(65535, 4)};
    {
        CFileSink sink(strPath);
        ASSERT_NE(sink.m_pFile, nullptr);
        CPcapStreamWriter writer(sink);
        ASSERT_TRUE(writer.WriteGlobalHeader());
        for (const Bytes& p : payloads)
            ASSERT_TRUE(writer.WriteRecord(p.data(), static_cast<int32_t>(p.size())));
    }
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pCap = pcap_open_offline(strPath.c_str(), szErr);
    ASSERT_NE(pCap, nullptr) << szErr;
    EXPECT_EQ(pcap_datalink(pCap), 195);
    EXPECT_EQ(pcap_snapshot(pCap), 65535);
    EXPECT_EQ(pcap_major_version(pCap), 2);
    EXPECT_EQ(pcap_minor_version(pCap), 4);
    size_t nIndex = 0;
    int64_t nLastUsec = 0;
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc;
    while ((nRc = pcap_next_ex(pCap, &pHdr, &pData)) == 1) {
        ASSERT_LT(nIndex, payloads.size());
        const Bytes& p = payloads[nIndex];
        EXPECT_EQ(pHdr->caplen, p.size());
        EXPECT_EQ(pHdr->len, p.size() + 2);
        EXPECT_EQ(Bytes(pData, pData + pHdr->caplen), p);
        const int64_t nUsec = static_cast<int64_t>(pHdr->ts.tv_sec) * 1000000 + pHdr->ts.tv_usec;
        EXPECT_GE(nUsec, nLastUsec);
        nLastUsec = nUsec;
        ++nIndex;
    }
    EXPECT_EQ(nRc, PCAP_ERROR_BREAK);   // clean end of file, no truncated record
    EXPECT_EQ(nIndex, payloads.size());
    pcap_close(pCap);
}
