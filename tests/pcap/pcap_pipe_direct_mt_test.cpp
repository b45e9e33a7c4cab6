// Batches that the capture side writes itself while the writer thread is
// idle: a reader paused mid-stream holds only whole records after Stop, and
// exactly those counted; a client that replaces one that left gets the global
// header first, then whole records in order, none lost or repeated.
#include "common/stop_process_posix.h"
#include "pcap_pipe_fixture.h"

#include "pcap/pcap_stream.h"

static constexpr uint32_t STAMP_BASE_SEC = 1710000000u;
static constexpr size_t BIG_BATCH_RECORDS = 12;

// Record i: 20..1400 bytes starting with i, stamped STAMP_BASE_SEC + i.
static std::vector<std::vector<uint8_t>> MakeMixedRecords(size_t nCount)
{
    std::vector<std::vector<uint8_t>> v;
    for (size_t i = 0; i < nCount; ++i) {
        std::vector<uint8_t> vRec = Payload(20 + (i * 331) % 1381, static_cast<uint8_t>(i * 29));
        vRec[0] = static_cast<uint8_t>(i);
        vRec[1] = static_cast<uint8_t>(i >> 8);
        v.push_back(std::move(vRec));
    }
    return v;
}

static void AddBatch(CPcapPipe& pipe, const std::vector<std::vector<uint8_t>>& vSent, size_t nFrom, size_t nTo)
{
    for (size_t i = nFrom; i < nTo && i < vSent.size(); ++i)
        pipe.AddRecord(vSent[i].data(), static_cast<int32_t>(vSent[i].size()),
                       CPcapTime{STAMP_BASE_SEC + static_cast<uint32_t>(i), static_cast<uint32_t>(i)});
    pipe.FlushRecords();
}

// Batches of 1, 2, ... 12 records in turn: small ones go in one write, the
// bigger ones cross PIPE_BUF.
static size_t NextBatchEnd(size_t nFrom, size_t nBatch)
{
    return nFrom + 1 + nBatch % BIG_BATCH_RECORDS;
}

// The indices read back, in order; fails on a record that was not sent whole.
static std::vector<size_t> WholeSentIndices(const SCapture& cap, const std::vector<std::vector<uint8_t>>& vSent)
{
    std::vector<size_t> vIdx;
    EXPECT_TRUE(cap.m_bOk) << "truncated record: " << cap.m_strError;
    for (const SRecord& rec : cap.m_records) {
        const size_t i = rec.m_dwSec - STAMP_BASE_SEC;
        const bool bSent = i < vSent.size() && rec.m_byData == vSent[i] && rec.m_dwUsec == i;
        if (!bSent || (!vIdx.empty() && i != vIdx.back() + 1)) {
            ADD_FAILURE() << "record " << vIdx.size() << " is not the next one sent";
            break;
        }
        vIdx.push_back(i);
    }
    return vIdx;
}

static uint64_t PcapBytes(const std::vector<std::vector<uint8_t>>& vSent, size_t nRecords)
{
    uint64_t qw = PCAP_GLOBAL_HEADER_LEN;
    for (size_t i = 0; i < nRecords; ++i)
        qw += PCAP_RECORD_HEADER_LEN + vSent[i].size();
    return qw;
}

// Sends SIGCONT to a paused reader however the test ends.
struct SResumeOnExit {
    pid_t m_pid;
    ~SResumeOnExit() { kill(m_pid, SIGCONT); }
};

class CPipeDirectTest : public CPipeTest {
protected:
    void SetUp() override
    {
        CPipeTest::SetUp();
        m_pipe.SetEvents(&m_events);
        m_pipe.SetTimeouts(10000, 10000);
    }
    void TearDown() override
    {
        m_pipe.Disconnect();
        CPipeTest::TearDown();
    }

    pid_t OpenFake(const std::string& strOptions)
    {
        const std::string strInfo = Path("info.txt");
        const std::string strLauncher = FakeLauncher("ws.sh", strOptions + " --info '" + strInfo + "'");
        if (m_pipe.Open(strLauncher.c_str()) != 1 || !m_events.WaitFor(PIPE_EVENT_CONNECTED) || !WaitForFile(strInfo))
            return -1;
        return InfoPid(strInfo);
    }

    CPcapPipe m_pipe;
    CPipeEventLog m_events;
};

TEST_F(CPipeDirectTest, PausedReaderHoldsOnlyTheWholeRecordsCountedAfterStop)
{
    const std::string strOut = Path("out.pcap");
    const pid_t pid = OpenFake("--out '" + strOut + "'");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(StopProcessAndWait(pid));
    const SResumeOnExit resume{pid};

    // About 420 KB in batches of about 8 KB: the pipe fills part-way through
    // a batch, where a plain write would cut a record; the rest queues.
    const auto vSent = MakeMixedRecords(600);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < vSent.size(); i += BIG_BATCH_RECORDS)
        AddBatch(m_pipe, vSent, i, i + BIG_BATCH_RECORDS);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));   // never waited

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_pipe.Disconnect();
    const CPcapPipeStats stats = m_pipe.GetStats();
    const uint64_t qwDelivered = stats.m_qwRecordsDelivered;
    ASSERT_GT(qwDelivered, 0u);
    ASSERT_LT(qwDelivered, vSent.size());
    EXPECT_EQ(stats.m_qwRecordsQueued, vSent.size());
    EXPECT_EQ(stats.m_qwDroppedSlowReader, vSent.size() - qwDelivered);
    EXPECT_EQ(stats.m_qwDroppedNoReader, 0u);
    // Not one byte of a record that was not counted went into the pipe.
    EXPECT_EQ(stats.m_qwBytesDelivered, PcapBytes(vSent, qwDelivered));

    ASSERT_EQ(kill(pid, SIGCONT), 0);
    ASSERT_TRUE(WaitForFile(strOut));
    const std::vector<size_t> vIdx = WholeSentIndices(ReadCapture(strOut), vSent);
    ASSERT_EQ(vIdx.size(), qwDelivered);
    EXPECT_EQ(vIdx.front(), 0u);
}

TEST_F(CPipeDirectTest, ClientReplacedMidStreamGetsTheHeaderFirstThenEveryLaterRecordWhole)
{
    const std::string strFirst = Path("first.pcap"), strSecond = Path("second.pcap");
    ASSERT_GT(OpenFake("--records 40 --out '" + strFirst + "'"), 0);   // reads 40, then leaves
    const auto vSent = MakeMixedRecords(400);
    size_t i = 0, nBatch = 0;
    for (; i < 200; i = NextBatchEnd(i, nBatch++)) {
        AddBatch(m_pipe, vSent, i, NextBatchEnd(i, nBatch));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));   // paced: the writer stays idle
    }
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CLIENT_GONE, 5000));
    const uint64_t qwFirst = m_pipe.GetStats().m_qwRecordsDelivered;   // the rest was left in the old pipe
    ASSERT_GE(qwFirst, 40u);
    ASSERT_LT(qwFirst, i);

    // Records go on arriving through the wait and after the client is back.
    ASSERT_GT(SpawnFake({"--out", strSecond, "-i", m_strFifo, "-k"}), 0);
    for (; i < vSent.size(); i = NextBatchEnd(i, nBatch++)) {
        AddBatch(m_pipe, vSent, i, NextBatchEnd(i, nBatch));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WaitDelivered(m_pipe, vSent.size()));
    m_pipe.Disconnect();
    EXPECT_EQ(m_events.Events(),
              (std::vector<int32_t>{PIPE_EVENT_CONNECTED, PIPE_EVENT_CLIENT_GONE, PIPE_EVENT_CLIENT_BACK}));

    ASSERT_TRUE(WaitForFile(strFirst));
    EXPECT_EQ(WholeSentIndices(ReadCapture(strFirst), vSent).size(), 40u);
    ASSERT_TRUE(WaitForFile(strSecond));
    const std::string strRaw = ReadFileText(strSecond);
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader);
    ASSERT_GE(strRaw.size(), sizeof byHeader);
    EXPECT_EQ(0, memcmp(strRaw.data(), byHeader, sizeof byHeader));
    const std::vector<size_t> vIdx = WholeSentIndices(ReadCapture(strSecond), vSent);
    ASSERT_EQ(vIdx.size(), vSent.size() - qwFirst);
    EXPECT_EQ(vIdx.front(), qwFirst);
    const CPcapPipeStats stats = m_pipe.GetStats();
    EXPECT_EQ(stats.m_qwDroppedNoReader + stats.m_qwDroppedSlowReader, 0u);
}
