// The pcap file sink when a write fails: a regular file is cut back to its
// last whole record, so that libpcap and tshark read it to the end, and the
// statistics count exactly the records and bytes in it. Failures come from a
// real full filesystem (a 64 KiB tmpfs, when mounting is permitted) and from
// the file size limit (RLIMIT_FSIZE, SIGXFSZ ignored: a real short write,
// then EFBIG) placed on a record boundary or inside a record. Standard output
// is never cut; a FIFO cannot be.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/temp_dir_posix.h"
#include "pcap/file_api.h"
#include "pcap/pcap_file.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* const TSHARK = "/usr/bin/tshark";

Bytes Payload(size_t n, uint32_t dwSeed)
{
    Bytes by(n);
    for (size_t i = 0; i < n; ++i)
        by[i] = static_cast<uint8_t>(dwSeed * 31 + i * 7);
    return by;
}

uint64_t FileSize(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : ~0ull;
}

// Record i of a capture: its payload length and bytes, so that what libpcap
// reads back can be matched one for one.
size_t LenOf(uint32_t i, size_t nBase)
{
    return nBase + i % 5;
}

void AddNumbered(CPcapFile& file, uint32_t i, size_t nBase)
{
    const Bytes by = Payload(LenOf(i, nBase), i);
    file.AddRecord(by.data(), static_cast<int32_t>(by.size()), CPcapTime{1700000000u + i, i});
}

// Reads the whole file with libpcap: every record is record i as AddNumbered
// made it, and the file ends cleanly after them. The count, or -1.
int64_t LibpcapRecords(const std::string& strPath, size_t nBase)
{
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    EXPECT_NE(pPcap, nullptr) << szErr;
    if (pPcap == nullptr)
        return -1;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int64_t nRead = 0;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        const uint32_t i = static_cast<uint32_t>(nRead);
        EXPECT_EQ(Bytes(pData, pData + pHdr->caplen), Payload(LenOf(i, nBase), i)) << "record " << i;
        EXPECT_EQ(pHdr->ts.tv_sec, static_cast<time_t>(1700000000u + i));
        ++nRead;
    }
    EXPECT_EQ(nRc, PCAP_ERROR_BREAK) << "not a clean end: " << pcap_geterr(pPcap);
    pcap_close(pPcap);
    return nRead;
}

// tshark -r: the frames it counts, and whatever else it says.
struct CTsharkRead {
    int64_t m_nFrames = 0;
    std::string m_strOther;
};

CTsharkRead TsharkRead(const std::string& strPath, const std::string& strConfig)
{
    CTsharkRead r;
    const std::string strCmd = "XDG_CONFIG_HOME='" + strConfig + "' " + TSHARK + " -r '" + strPath
                               + "' -T fields -e frame.number 2>&1; echo \"exit $?\"";
    FILE* pPipe = popen(strCmd.c_str(), "r");
    if (pPipe == nullptr)
        return r;
    char szLine[512];
    while (fgets(szLine, sizeof szLine, pPipe) != nullptr) {
        const std::string strLine(szLine);
        if (strLine == std::to_string(r.m_nFrames + 1) + "\n")
            ++r.m_nFrames;
        else if (strLine.find("Running as user") == std::string::npos)   // tshark's warning to root
            r.m_strOther += strLine;
    }
    pclose(pPipe);
    return r;
}

// Libpcap and tshark both read exactly the records and bytes the sink counts
// as written, and the counts add up to what was given.
void ExpectWholeCapture(const CPcapFile& file, const std::string& strPath, size_t nBase, uint64_t qwGiven,
    const std::string& strConfig)
{
    const CPcapFileStats stats = file.GetStats();
    EXPECT_EQ(stats.m_qwRecordsWritten + stats.m_qwRecordsDropped, qwGiven);
    EXPECT_EQ(stats.m_qwRecordsWriteFailed, stats.m_qwRecordsDropped);
    EXPECT_EQ(FileSize(strPath), stats.m_qwBytesWritten);
    EXPECT_EQ(LibpcapRecords(strPath, nBase), static_cast<int64_t>(stats.m_qwRecordsWritten));
    ASSERT_EQ(access(TSHARK, X_OK), 0) << "tshark is part of the test environment";
    const CTsharkRead r = TsharkRead(strPath, strConfig);
    EXPECT_EQ(r.m_nFrames, static_cast<int64_t>(stats.m_qwRecordsWritten));
    EXPECT_EQ(r.m_strOther, "exit 0\n");
    EXPECT_EQ(r.m_strOther.find("cut short"), std::string::npos);
}

// A tmpfs of the given size mounted on a directory, unmounted when it goes.
class CSmallTmpfs {
public:
    CSmallTmpfs(const std::string& strDir, const char* pszSize)
        : m_strDir(strDir)
    {
        mkdir(m_strDir.c_str(), 0700);
        const std::string strOpts = std::string("size=") + pszSize;
        m_bMounted = mount("tmpfs", m_strDir.c_str(), "tmpfs", 0, strOpts.c_str()) == 0;
        m_nErr = m_bMounted ? 0 : errno;
    }
    ~CSmallTmpfs()
    {
        if (m_bMounted)
            umount2(m_strDir.c_str(), MNT_DETACH);
    }
    CSmallTmpfs(const CSmallTmpfs&) = delete;
    CSmallTmpfs& operator=(const CSmallTmpfs&) = delete;

    bool IsMounted() const { return m_bMounted; }
    int Error() const { return m_nErr; }

private:
    std::string m_strDir;
    bool m_bMounted = false;
    int m_nErr = 0;
};

// Files may grow to a given size only; a write across it is cut short there
// and the next one fails with EFBIG (SIGXFSZ ignored, not a kill).
class CPcapFileLimited : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        m_strConfig = m_dir / "config";
        ASSERT_EQ(mkdir(m_strConfig.c_str(), 0700), 0);
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGXFSZ, &sa, &m_saOld), 0);
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &m_rlOld), 0);
    }
    void TearDown() override
    {
        Unlimit();
        sigaction(SIGXFSZ, &m_saOld, nullptr);
    }
    void Limit(uint64_t qwBytes)
    {
        struct rlimit rl = m_rlOld;
        rl.rlim_cur = static_cast<rlim_t>(qwBytes);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &rl), 0);
    }
    void Unlimit() { setrlimit(RLIMIT_FSIZE, &m_rlOld); }

    CTestTempDir m_dir {"pcap-full"};
    std::string m_strConfig;
    struct sigaction m_saOld = {};
    struct rlimit m_rlOld = {};
};

constexpr size_t SMALL = 40;   // records of 56..60 bytes: many in one write
constexpr size_t LARGE = 1500; // records of about 1.5 KiB: a few per write

// Where record n of AddNumbered's sequence ends in the file.
uint64_t EndOfRecord(uint32_t n, size_t nBase)
{
    uint64_t qw = PCAP_GLOBAL_HEADER_LEN;
    for (uint32_t i = 0; i < n; ++i)
        qw += PCAP_RECORD_HEADER_LEN + LenOf(i, nBase);
    return qw;
}

} // namespace

TEST(CPcapFileFullDisk, SmallTmpfsEndsOnTheLastWholeRecord)
{
    CTestTempDir dir("pcap-full");
    ASSERT_FALSE(dir.Path().empty());
    const std::string strConfig = dir / "config";
    ASSERT_EQ(mkdir(strConfig.c_str(), 0700), 0);
    CSmallTmpfs fs(dir / "small", "64k");
    if (!fs.IsMounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(fs.Error()) << "; needs root)";
    const std::string strPath = dir / "small/cap.pcap";

    // Batches of 10 records of 117..121 bytes: 64 KiB fills inside a record.
    CPcapFile file;
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::CreateNew));
    uint32_t dwGiven = 0;
    while (!file.IsBroken() && dwGiven < 10000) {
        for (int32_t i = 0; i < 10; ++i)
            AddNumbered(file, dwGiven++, 117);
        file.FlushRecords();
    }
    ASSERT_TRUE(file.IsBroken());
    EXPECT_EQ(file.GetLastError().m_nCode, ENOSPC);
    for (int32_t i = 0; i < 3; ++i)   // after the failure: dropped and counted
        AddNumbered(file, dwGiven++, 117);
    EXPECT_FALSE(file.Close());

    const CPcapFileStats stats = file.GetStats();
    EXPECT_GT(stats.m_qwRecordsWritten, 400u);
    EXPECT_GE(stats.m_qwRecordsDropped, 4u);   // the cut one, the rest of its batch, the three after
    EXPECT_EQ(stats.m_qwBytesWritten, EndOfRecord(static_cast<uint32_t>(stats.m_qwRecordsWritten), 117));
    EXPECT_LE(stats.m_qwBytesWritten, 65536u);
    ExpectWholeCapture(file, strPath, 117, dwGiven, strConfig);
}

// The limit inside the first write, on a boundary and inside a record, with
// small records (one write holds many) and large ones (a batch is several
// writes): the whole records before it stay, nothing after it.
TEST_F(CPcapFileLimited, FailedWriteKeepsTheWholeRecordsBeforeIt)
{
    struct CCase {
        size_t m_nBase;
        uint32_t m_dwWhole;    // records that fit
        uint64_t m_qwInside;   // bytes of the next record that fit too
    };
    const CCase cases[] = {{SMALL, 7, 0}, {SMALL, 7, 9}, {SMALL, 0, 3}, {LARGE, 4, 0}, {LARGE, 5, 0}, {LARGE, 5, 700}};
    int32_t nCase = 0;
    for (const CCase& c : cases) {
        SCOPED_TRACE("case " + std::to_string(nCase));
        const std::string strPath = m_dir / ("cap" + std::to_string(nCase++) + ".pcap");
        const uint64_t qwLimit = EndOfRecord(c.m_dwWhole, c.m_nBase) + c.m_qwInside;
        CPcapFile file;
        ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::CreateNew));
        Limit(qwLimit);
        for (uint32_t i = 0; i < 12; ++i)
            AddNumbered(file, i, c.m_nBase);
        file.FlushRecords();
        EXPECT_TRUE(file.IsBroken());
        EXPECT_EQ(file.GetLastError().m_nCode, EFBIG);
        for (uint32_t i = 12; i < 15; ++i)
            AddNumbered(file, i, c.m_nBase);
        EXPECT_FALSE(file.Close());
        Unlimit();

        const CPcapFileStats stats = file.GetStats();
        EXPECT_EQ(stats.m_qwRecordsWritten, c.m_dwWhole);
        EXPECT_EQ(stats.m_qwRecordsDropped, 15u - c.m_dwWhole);
        EXPECT_EQ(stats.m_qwBytesWritten, EndOfRecord(c.m_dwWhole, c.m_nBase));
        ExpectWholeCapture(file, strPath, c.m_nBase, 15, m_strConfig);
    }
}

// Batches written whole before the limit stay as they are; the header itself
// cut short leaves an empty file and a failed Open.
TEST_F(CPcapFileLimited, EarlierBatchesStayAndACutHeaderLeavesNothing)
{
    const std::string strPath = m_dir / "batches.pcap";
    CPcapFile file;
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::CreateNew));
    Limit(EndOfRecord(23, SMALL) + 30);
    uint32_t dwGiven = 0;
    for (int32_t nBatch = 0; nBatch < 4; ++nBatch) {
        for (int32_t i = 0; i < 10; ++i)
            AddNumbered(file, dwGiven++, SMALL);
        file.FlushRecords();
        EXPECT_EQ(file.IsBroken(), nBatch >= 2) << "batch " << nBatch;
    }
    EXPECT_FALSE(file.Close());
    Unlimit();
    EXPECT_EQ(file.GetStats().m_qwRecordsWritten, 23u);
    EXPECT_EQ(file.GetStats().m_qwRecordsWriteFailed, 17u);
    ExpectWholeCapture(file, strPath, SMALL, dwGiven, m_strConfig);

    const std::string strHeader = m_dir / "header.pcap";
    Limit(PCAP_GLOBAL_HEADER_LEN / 2);
    EXPECT_FALSE(file.Open(strHeader, EPcapFileOpen::CreateNew));
    Unlimit();
    EXPECT_EQ(file.GetLastError().m_nCode, EFBIG);
    EXPECT_EQ(FileSize(strHeader), 0u);
    EXPECT_EQ(file.GetStats().m_qwBytesWritten, 0u);
}

// Standard output may be shared: a regular file behind it is never cut, and
// the bytes that went out stay counted. The OS layer cuts a regular file and
// writes on at the new end, and leaves a FIFO alone.
TEST_F(CPcapFileLimited, StdoutAndFifosAreNeverCut)
{
    const std::string strOut = m_dir / "stdout.pcap";
    const int nFile = open(strOut.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(nFile, 0);
    fflush(stdout);
    const int nSaved = dup(STDOUT_FILENO);
    ASSERT_GE(nSaved, 0);
    ASSERT_EQ(dup2(nFile, STDOUT_FILENO), STDOUT_FILENO);
    close(nFile);
    CPcapFile file;
    const bool bOpened = file.Open("", EPcapFileOpen::Stdout);
    Limit(EndOfRecord(4, SMALL) + 10);
    for (uint32_t i = 0; i < 8; ++i)
        AddNumbered(file, i, SMALL);
    const bool bClosed = file.Close();
    Unlimit();
    dup2(nSaved, STDOUT_FILENO);
    close(nSaved);
    ASSERT_TRUE(bOpened);
    EXPECT_FALSE(bClosed);
    const CPcapFileStats stats = file.GetStats();
    EXPECT_EQ(stats.m_qwRecordsWritten, 4u);
    EXPECT_EQ(stats.m_qwRecordsWriteFailed, 4u);
    EXPECT_EQ(stats.m_qwBytesWritten, EndOfRecord(4, SMALL) + 10);
    EXPECT_EQ(FileSize(strOut), stats.m_qwBytesWritten);

    // The OS layer on its own: a regular file, then a FIFO.
    const std::string strPlain = m_dir / "plain";
    COsError err;
    const QM_FILE hPlain = FileOpenForWrite(strPlain, EFileOpen::CreateNew, INVALID_QM_FILE_WAKE, &err);
    ASSERT_NE(hPlain, INVALID_QM_FILE);
    const Bytes by = Payload(100, 3);
    size_t nDone = 0;
    ASSERT_TRUE(FileWriteAll(hPlain, by.data(), by.size(), INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_TRUE(FileTruncate(hPlain, 40, &err));
    EXPECT_FALSE(err.IsError());
    ASSERT_TRUE(FileWriteAll(hPlain, by.data(), 10, INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_TRUE(FileClose(hPlain, &err));
    EXPECT_EQ(FileSize(strPlain), 50u);   // no hole: the write went at the new end

    const std::string strFifo = m_dir / "fifo";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    const int nReader = open(strFifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);
    const QM_FILE hFifo = FileOpenForWrite(strFifo, EFileOpen::Existing, INVALID_QM_FILE_WAKE, &err);
    ASSERT_NE(hFifo, INVALID_QM_FILE);
    ASSERT_TRUE(FileWriteAll(hFifo, by.data(), 20, INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_FALSE(FileTruncate(hFifo, 0, &err));
    EXPECT_EQ(err.m_eKind, EOsError::WrongKind);
    uint8_t byRead[64] = {};
    EXPECT_EQ(read(nReader, byRead, sizeof byRead), 20);   // still in the pipe
    EXPECT_TRUE(FileClose(hFifo, &err));
    close(nReader);
}
