// The pcap file sink: a new file never replaces an existing one, records read
// back with libpcap as written, and a FIFO whose reader left breaks the sink
// (counted drops) instead of killing the process with SIGPIPE.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/temp_dir_posix.h"
#include "pcap/pcap_file.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string ReadText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Bytes Payload(size_t n, uint8_t bySeed)
{
    Bytes by(n);
    for (size_t i = 0; i < n; ++i)
        by[i] = static_cast<uint8_t>(bySeed + i * 13);
    return by;
}

// A FIFO whose reader opens first (as Wireshark does), so that the writer's
// open returns: the reader's descriptor, or -1.
int MakeFifoWithReader(const std::string& strFifo)
{
    if (mkfifo(strFifo.c_str(), 0600) != 0)
        return -1;
    return open(strFifo.c_str(), O_RDONLY | O_NONBLOCK);
}

} // namespace

TEST(CPcapFileOpen, CreateNewRefusesAnExistingFileAndLeavesItAlone)
{
    CTestTempDir dir("pcap-file");
    const std::string strPath = dir / "keep.pcap";
    std::ofstream(strPath) << "precious";
    CPcapFile file;
    EXPECT_FALSE(file.Open(strPath, EPcapFileOpen::CreateNew));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::AlreadyExists);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadText(strPath), "precious");

    // Replace is the user's explicit choice: the old content goes.
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::Replace));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(ReadText(strPath).size(), static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN));
}

TEST(CPcapFileRecords, BatchesReadBackWithLibpcap)
{
    CTestTempDir dir("pcap-file");
    const std::string strPath = dir / "cap.pcap";
    std::vector<Bytes> vecSent;
    CPcapFile file;
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::CreateNew));
    for (int32_t nBatch = 0; nBatch < 3; ++nBatch) {
        for (int32_t i = 0; i < 4; ++i) {
            const size_t nLen = static_cast<size_t>(5 + nBatch * 40 + i * 11);
            vecSent.push_back(Payload(nLen, static_cast<uint8_t>(nBatch * 4 + i)));
            file.AddRecord(vecSent.back().data(), static_cast<int32_t>(vecSent.back().size()),
                CPcapTime{1700000000u + static_cast<uint32_t>(vecSent.size()), 250u});
        }
        file.FlushRecords();
    }
    // A batch that outgrows the storage the small ones left, many times over
    // (each growth keeps what was appended), an empty record among them.
    for (int32_t i = 0; i < 200; ++i) {
        vecSent.push_back(Payload(i == 77 ? 0 : static_cast<size_t>(150 + i % 101), static_cast<uint8_t>(i)));
        file.AddRecord(vecSent.back().data(), static_cast<int32_t>(vecSent.back().size()), CPcapTime{1700001000u, 1u});
    }
    file.FlushRecords();
    file.AddRecord(nullptr, 3, CPcapTime{1, 0});   // refused: no bytes behind the length
    file.AddRecord(vecSent[0].data(), static_cast<int32_t>(PCAP_SNAPLEN) + 1, CPcapTime{1, 0});   // refused
    vecSent.push_back(Payload(7, 99));   // left in the batch: Close writes it
    file.AddRecord(vecSent.back().data(), 7, CPcapTime{1800000000u, 999999u});
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(file.GetStats().m_qwRecordsWritten, vecSent.size());
    EXPECT_EQ(file.GetStats().m_qwRecordsDropped, 0u);

    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    ASSERT_NE(pPcap, nullptr) << szErr;
    EXPECT_EQ(pcap_datalink(pPcap), 195);
    size_t nRead = 0;
    uint64_t qwBytes = PCAP_GLOBAL_HEADER_LEN;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    while (pcap_next_ex(pPcap, &pHdr, &pData) == 1) {
        ASSERT_LT(nRead, vecSent.size());
        const Bytes& sent = vecSent[nRead];
        EXPECT_EQ(pHdr->caplen, sent.size());
        EXPECT_EQ(pHdr->len, sent.size() + 2);   // the dongle's RSSI/LQI stand in for the FCS
        EXPECT_EQ(Bytes(pData, pData + pHdr->caplen), sent) << "record " << nRead;
        qwBytes += PCAP_RECORD_HEADER_LEN + sent.size();
        ++nRead;
    }
    pcap_close(pPcap);
    EXPECT_EQ(nRead, vecSent.size());
    EXPECT_EQ(file.GetStats().m_qwBytesWritten, qwBytes);
}

// Seen without a write: a pipe still read is fine, one whose reader left is
// broken as a write would have found it; a file never is.
TEST(CPcapFileFifo, ReaderGoneIsSeenWithoutAWrite)
{
    CTestTempDir dir("pcap-file");
    const std::string strFifo = dir / "fifo";
    const int nReader = MakeFifoWithReader(strFifo);
    ASSERT_GE(nReader, 0);
    CPcapFile file;
    ASSERT_TRUE(file.Open(strFifo, EPcapFileOpen::Existing));
    EXPECT_FALSE(file.CheckReaderGone());
    close(nReader);
    EXPECT_TRUE(file.CheckReaderGone());
    EXPECT_TRUE(file.IsBroken());
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::Gone);
    EXPECT_FALSE(file.Close());

    ASSERT_TRUE(file.Open(dir / "plain.pcap", EPcapFileOpen::CreateNew));
    EXPECT_FALSE(file.CheckReaderGone());
    EXPECT_FALSE(file.IsBroken());
    EXPECT_TRUE(file.Close());
}

TEST(CPcapFileFifo, ReaderGoneBreaksTheSinkAndCountsDrops)
{
    CTestTempDir dir("pcap-file");
    const std::string strFifo = dir / "fifo";
    const int nReader = MakeFifoWithReader(strFifo);
    ASSERT_GE(nReader, 0);
    CPcapFile file;
    ASSERT_TRUE(file.Open(strFifo, EPcapFileOpen::Existing));
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN] = {};
    EXPECT_EQ(read(nReader, byHeader, sizeof byHeader), PCAP_GLOBAL_HEADER_LEN);
    EXPECT_EQ(byHeader[20], 195);
    close(nReader);

    const Bytes payload = Payload(30, 1);
    for (int32_t i = 0; i < 3; ++i)
        file.AddRecord(payload.data(), 30, CPcapTime{2, 0});
    file.FlushRecords();   // EPIPE here: SIGPIPE would end the test
    EXPECT_TRUE(file.IsBroken());
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::Gone);
    file.AddRecord(payload.data(), 30, CPcapTime{3, 0});
    file.FlushRecords();
    EXPECT_EQ(file.GetStats().m_qwRecordsDropped, 4u);
    EXPECT_EQ(file.GetStats().m_qwRecordsWritten, 0u);
    EXPECT_FALSE(file.Close());

    // A regular file in place of the pipe is refused and left as it was
    // (more in pcap_file_kind_test.cpp).
    const std::string strRegular = dir / "regular.pcap";
    std::ofstream(strRegular) << std::string(100, 'x');
    EXPECT_FALSE(file.Open(strRegular, EPcapFileOpen::Existing));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::WrongKind);
    EXPECT_EQ(ReadText(strRegular), std::string(100, 'x'));

    // Existing never makes a file where there was none.
    EXPECT_FALSE(file.Open(dir / "none", EPcapFileOpen::Existing));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::NotFound);
    struct stat st;
    EXPECT_NE(stat((dir / "none").c_str(), &st), 0);
}
