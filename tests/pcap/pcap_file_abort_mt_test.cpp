// CPcapFile::Abort from another thread while the capture side waits for a
// FIFO's reader that keeps its end open but reads no more: the wait ends, the
// sink is not broken, and the reader finds whole records only, in order.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir_posix.h"
#include "pcap/pcap_file.h"

namespace {

typedef std::vector<uint8_t> Bytes;

constexpr int32_t RECORDS = 400;       // about three times what the pipe holds
constexpr int32_t RECORD_LEN = 100;
constexpr int WAIT_MS = 10000;

Bytes Payload(int32_t nSeed)
{
    Bytes by(RECORD_LEN);
    for (size_t i = 0; i < by.size(); ++i)
        by[i] = static_cast<uint8_t>(nSeed * 7 + static_cast<int32_t>(i));
    return by;
}

std::string ReadAll(int nFd)
{
    std::string str;
    char byBuf[4096];
    ssize_t n = 0;
    while ((n = read(nFd, byBuf, sizeof byBuf)) > 0)
        str.append(byBuf, static_cast<size_t>(n));
    return str;
}

} // namespace

TEST(CPcapFileAbort, AbortEndsTheWaitForAStalledReaderAndLeavesWholeRecords)
{
    CTestTempDir dir("pcap-abort");
    const std::string strFifo = dir / "fifo";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    const int nReader = open(strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    const int nCapacity = fcntl(nReader, F_SETPIPE_SZ, 4 * PIPE_BUF);
    ASSERT_GT(nCapacity, 0);

    CPcapFile file;
    ASSERT_TRUE(file.Open(strFifo, EPcapFileOpen::Existing));
    for (int32_t i = 0; i < RECORDS; ++i)
        file.AddRecord(Payload(i).data(), RECORD_LEN, CPcapTime{1700000000u, static_cast<uint32_t>(i)});
    std::atomic<bool> bFlushed(false);
    std::thread writer([&file, &bFlushed] {
        file.FlushRecords();   // waits: the batch is bigger than the pipe
        bFlushed.store(true);
    });
    int nFill = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while ((ioctl(nReader, FIONREAD, &nFill) != 0 || nFill < nCapacity / 2)
        && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(bFlushed.load());
    file.Abort();
    writer.join();

    const CPcapFileStats stats = file.GetStats();
    EXPECT_FALSE(file.IsBroken());
    EXPECT_GT(stats.m_qwRecordsWritten, 0u);
    EXPECT_GT(stats.m_qwRecordsDropped, 0u);
    EXPECT_EQ(stats.m_qwRecordsWritten + stats.m_qwRecordsDropped, static_cast<uint64_t>(RECORDS));
    EXPECT_TRUE(file.Close());   // nothing was cut: no failure

    const std::string strCopy = dir / "read.pcap";
    std::ofstream(strCopy, std::ios::binary) << ReadAll(nReader);
    close(nReader);
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strCopy.c_str(), szErr);
    ASSERT_NE(pPcap, nullptr) << szErr;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int32_t nRead = 0;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        EXPECT_EQ(Bytes(pData, pData + pHdr->caplen), Payload(nRead)) << "record " << nRead;
        ++nRead;
    }
    pcap_close(pPcap);
    EXPECT_EQ(nRc, PCAP_ERROR_BREAK);   // no record cut short
    EXPECT_EQ(static_cast<uint64_t>(nRead), stats.m_qwRecordsWritten);

    // An aborted sink waits for no reader at all: a FIFO nobody opened fails at once.
    const std::string strUnread = dir / "unread";
    ASSERT_EQ(mkfifo(strUnread.c_str(), 0600), 0);
    EXPECT_FALSE(file.Open(strUnread, EPcapFileOpen::Existing));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::TimedOut);
}
