// The pipe's writer thread against real readers that pause, quit, read slowly
// or come late: Stop takes effect at once, every record a reader holds is
// whole and one that was sent, and every record that was not delivered is
// counted by its cause.
#include "common/stop_process_posix.h"
#include "pcap_pipe_fixture.h"

#include "pcap/pcap_stream.h"

#include <memory>

static constexpr uint32_t STAMP_BASE_SEC = 1700000000u;

static int64_t MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// Record i: 10..127 bytes that start with i, stamped STAMP_BASE_SEC + i, so
// that a record read back names the one it must equal.
static std::vector<std::vector<uint8_t>> MakeRecords(size_t nCount)
{
    std::vector<std::vector<uint8_t>> v;
    for (size_t i = 0; i < nCount; ++i) {
        std::vector<uint8_t> vRec = Payload(10 + (i * 37) % 118, static_cast<uint8_t>(i * 13));
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
                       CPcapTime{STAMP_BASE_SEC + static_cast<uint32_t>(i), static_cast<uint32_t>(i % 1000000)});
    pipe.FlushRecords();
}

// The indices of the records read back; fails on any record that is not one
// that was sent (bytes, lengths, stamp), out of order, or cut short.
static std::vector<size_t> CheckWholeAndSent(const SCapture& cap, const std::vector<std::vector<uint8_t>>& vSent)
{
    std::vector<size_t> vIdx;
    EXPECT_TRUE(cap.m_bOk) << "truncated record: " << cap.m_strError;
    for (const SRecord& rec : cap.m_records) {
        const size_t i = rec.m_dwSec - STAMP_BASE_SEC;
        if (i >= vSent.size() || rec.m_byData != vSent[i] || rec.m_dwUsec != i % 1000000
            || rec.m_dwOrigLen != vSent[i].size() + 2) {
            ADD_FAILURE() << "record " << vIdx.size() << " matches nothing that was sent";
            return vIdx;
        }
        if (!vIdx.empty() && i <= vIdx.back()) {
            ADD_FAILURE() << "record " << i << " after " << vIdx.back();
            return vIdx;
        }
        vIdx.push_back(i);
    }
    return vIdx;
}

// Sends SIGCONT to a paused reader however the test ends.
struct SResumeOnExit {
    pid_t m_pid;
    ~SResumeOnExit() { kill(m_pid, SIGCONT); }
};

class CPipeWriterTest : public CPipeTest {
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

    // Launches the fake through Open and waits for it to connect; its pid.
    pid_t OpenFake(const std::string& strOptions)
    {
        const std::string strInfo = Path("info" + std::to_string(++m_nRun) + ".txt");
        const std::string strLauncher = FakeLauncher("ws" + std::to_string(m_nRun) + ".sh",
                                                     strOptions + " --info '" + strInfo + "'");
        if (m_pipe.Open(strLauncher.c_str()) != 1 || !m_events.WaitFor(PIPE_EVENT_CONNECTED) || !WaitForFile(strInfo))
            return -1;
        return InfoPid(strInfo);
    }

    CPcapPipe m_pipe;
    CPipeEventLog m_events;
    int m_nRun = 0;
};

// The window's Stop while Wireshark is paused with the pipe full: at once,
// and the reader, once it moves again, holds whole records only.
TEST_F(CPipeWriterTest, StopWithAPausedReaderIsImmediateAndTheReaderKeepsWholeRecords)
{
    const std::string strOut = Path("out.pcap");
    const pid_t pid = OpenFake("--out '" + strOut + "'");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(StopProcessAndWait(pid));
    const SResumeOnExit resume{pid};

    // About 70 KB in batches far above PIPE_BUF: more than the pipe holds.
    const auto vSent = MakeRecords(1000);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < vSent.size(); i += 100)
        AddBatch(m_pipe, vSent, i, i + 100);
    EXPECT_LT(MsSince(t0), 500);   // the capture side never waits for the reader
    EXPECT_EQ(m_pipe.GetStats().m_qwRecordsQueued, vSent.size());

    // The writer is stuck once the pipe is full.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t1 = std::chrono::steady_clock::now();
    m_pipe.Disconnect();
    EXPECT_LT(MsSince(t1), 100);
    EXPECT_EQ(m_pipe.GetState(), PIPE_STATE_IDLE);
    const CPcapPipeStats stats = m_pipe.GetStats();
    const uint64_t qwDelivered = stats.m_qwRecordsDelivered;
    ASSERT_GT(qwDelivered, 0u);
    ASSERT_LT(qwDelivered, vSent.size());
    EXPECT_EQ(stats.m_qwDroppedSlowReader, vSent.size() - qwDelivered);
    EXPECT_EQ(stats.m_qwDroppedNoReader, 0u);

    ASSERT_EQ(kill(pid, SIGCONT), 0);
    ASSERT_TRUE(WaitForFile(strOut));
    const SCapture cap = ReadCapture(strOut);
    const std::vector<size_t> vIdx = CheckWholeAndSent(cap, vSent);
    ASSERT_EQ(vIdx.size(), qwDelivered);   // exactly what was counted, from the first on
    EXPECT_EQ(vIdx.back(), qwDelivered - 1);
    EXPECT_EQ(m_events.Events(), std::vector<int32_t>{PIPE_EVENT_CONNECTED});
}

// Wireshark quits and nobody comes back: the user is told at once (no frame
// needed), and again when the wait ends; what could not go out is counted.
TEST_F(CPipeWriterTest, ReaderThatQuitsIsReportedThenGivenUpAndTheLossCountedAsNoReader)
{
    m_pipe.SetTimeouts(10000, 300);
    const std::string strOut = Path("out.pcap");
    ASSERT_GT(OpenFake("--records 5 --out '" + strOut + "'"), 0);
    const auto vSent = MakeRecords(10);
    AddBatch(m_pipe, vSent, 0, 5);
    ASSERT_TRUE(WaitForFile(strOut));   // it read five and left

    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CLIENT_GONE, 2000));
    EXPECT_EQ(m_pipe.GetState(), PIPE_STATE_WAITING);
    AddBatch(m_pipe, vSent, 5, 8);   // during the wait: held for a client that never comes
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_RECONNECT_GAVE_UP, 5000));
    EXPECT_EQ(m_pipe.GetState(), PIPE_STATE_CLOSED);
    EXPECT_FALSE(PathExists(m_strFifo));
    const auto t0 = std::chrono::steady_clock::now();
    AddBatch(m_pipe, vSent, 8, 10);   // afterwards: dropped at once
    EXPECT_LT(MsSince(t0), 100);

    const CPcapPipeStats stats = m_pipe.GetStats();
    EXPECT_EQ(stats.m_qwRecordsDelivered, 5u);
    EXPECT_EQ(stats.m_qwDroppedNoReader, 5u);
    EXPECT_EQ(stats.m_qwDroppedSlowReader, 0u);
    EXPECT_EQ(m_events.Events(), (std::vector<int32_t>{PIPE_EVENT_CONNECTED, PIPE_EVENT_CLIENT_GONE,
                                                       PIPE_EVENT_RECONNECT_GAVE_UP}));
    const std::vector<size_t> vIdx = CheckWholeAndSent(ReadCapture(strOut), vSent);
    EXPECT_EQ(vIdx, (std::vector<size_t>{0, 1, 2, 3, 4}));
}

// A reader slower than the capture with a small queue: whole records are
// dropped and counted; nothing the reader gets is cut or mixed up.
TEST_F(CPipeWriterTest, SlowReaderWithASmallQueueGetsOnlyWholeSentRecordsAndDropsAreCounted)
{
    m_pipe.SetQueueBytes(8 * 1024);
    const std::string strOut = Path("out.pcap");
    ASSERT_GT(OpenFake("--read-bytes 700 --read-pause-ms 2 --out '" + strOut + "'"), 0);
    const auto vSent = MakeRecords(3000);   // about 230 KB, offered at several MB/s
    for (size_t i = 0; i < vSent.size(); i += 30) {
        AddBatch(m_pipe, vSent, i, i + 30);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    CPcapPipeStats stats = m_pipe.GetStats();
    while (stats.m_qwRecordsDelivered < stats.m_qwRecordsQueued && std::chrono::steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stats = m_pipe.GetStats();
    }
    ASSERT_EQ(stats.m_qwRecordsDelivered, stats.m_qwRecordsQueued);
    EXPECT_GT(stats.m_qwDroppedSlowReader, 0u);
    EXPECT_EQ(stats.m_qwRecordsQueued + stats.m_qwDroppedSlowReader, vSent.size());
    EXPECT_EQ(stats.m_qwDroppedNoReader, 0u);
    m_pipe.Disconnect();

    ASSERT_TRUE(WaitForFile(strOut));
    const std::vector<size_t> vIdx = CheckWholeAndSent(ReadCapture(strOut), vSent);
    EXPECT_EQ(vIdx.size(), stats.m_qwRecordsDelivered);
}

// Frames that come while Wireshark is still starting wait in the queue and
// reach it in order once it has connected.
TEST_F(CPipeWriterTest, RecordsAddedDuringTheConnectWaitReachTheClient)
{
    const std::string strOut = Path("out.pcap");
    const std::string strLauncher = FakeLauncher("late.sh", "--delay-ms 300 --out '" + strOut + "'");
    ASSERT_EQ(m_pipe.Open(strLauncher.c_str()), 1);
    EXPECT_EQ(m_pipe.GetState(), PIPE_STATE_WAITING);
    const auto vSent = MakeRecords(200);
    for (size_t i = 0; i < vSent.size(); i += 20)
        AddBatch(m_pipe, vSent, i, i + 20);
    EXPECT_EQ(m_pipe.GetStats().m_qwRecordsDelivered, 0u);
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CONNECTED));
    ASSERT_TRUE(WaitDelivered(m_pipe, vSent.size()));
    m_pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    EXPECT_EQ(CheckWholeAndSent(ReadCapture(strOut), vSent).size(), vSent.size());
    EXPECT_EQ(m_events.Events(), std::vector<int32_t>{PIPE_EVENT_CONNECTED});
}

// The client goes away while a batch is blocked on the full pipe: the next
// client gets the global header, the record that did not get through (same
// bytes, same stamp), then the rest — never a piece of a record.
TEST_F(CPipeWriterTest, ClientGoneMidBatchTheNextOneGetsTheCutRecordWholeThenTheRest)
{
    ASSERT_GT(OpenFake("--stall-ms 300"), 0);   // reads nothing, then leaves
    const auto vSent = MakeRecords(1500);
    AddBatch(m_pipe, vSent, 0, vSent.size());
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CLIENT_GONE, 5000));
    const uint64_t qwFirst = m_pipe.GetStats().m_qwRecordsDelivered;   // left unread in the old pipe
    ASSERT_GT(qwFirst, 0u);
    ASSERT_LT(qwFirst, vSent.size());

    const std::string strOut = Path("second.pcap");
    ASSERT_GT(SpawnFake({"--out", strOut, "-i", m_strFifo, "-k"}), 0);
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CLIENT_BACK));
    ASSERT_TRUE(WaitDelivered(m_pipe, vSent.size()));
    m_pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    const std::string strRaw = ReadFileText(strOut);
    const SCapture cap = ReadCapture(strOut);
    const std::vector<size_t> vIdx = CheckWholeAndSent(cap, vSent);
    ASSERT_EQ(vIdx.size(), vSent.size() - qwFirst);
    EXPECT_EQ(vIdx.front(), qwFirst);
    EXPECT_EQ(vIdx.back(), vSent.size() - 1);
    const CPcapPipeStats stats = m_pipe.GetStats();
    EXPECT_EQ(stats.m_qwDroppedNoReader + stats.m_qwDroppedSlowReader, 0u);
}

// Stop ends the connect wait at once, however long it is, reports nothing
// and keeps the pipe; what was queued for the client that never came is
// counted as having no reader.
TEST_F(CPipeWriterTest, StopDuringTheConnectWaitIsImmediateAndCountsNoReader)
{
    ASSERT_EQ(m_pipe.Open(FakeLauncher("never.sh", "--no-open").c_str()), 1);
    const auto vSent = MakeRecords(3);
    AddBatch(m_pipe, vSent, 0, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    m_pipe.Disconnect();
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_EQ(m_pipe.GetState(), PIPE_STATE_IDLE);
    EXPECT_TRUE(IsFifo(m_strFifo));
    const CPcapPipeStats stats = m_pipe.GetStats();
    EXPECT_EQ(stats.m_qwDroppedNoReader, 3u);
    EXPECT_EQ(stats.m_qwDroppedSlowReader, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(m_events.Events().empty());

    // The kept pipe serves the next Start.
    const std::string strOut = Path("out.pcap");
    ASSERT_EQ(m_pipe.Open(FakeLauncher("ws.sh", "--out '" + strOut + "'").c_str()), 1);
    AddBatch(m_pipe, vSent, 0, 3);
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CONNECTED));
    ASSERT_TRUE(WaitDelivered(m_pipe, 3));
    m_pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    EXPECT_EQ(CheckWholeAndSent(ReadCapture(strOut), vSent).size(), 3u);
}

// Closing the window while the writer is blocked on a paused reader: the
// destructor ends the write and joins the thread at once.
TEST_F(CPipeTest, DestructionWithTheWriterBlockedOnAPausedReaderIsImmediate)
{
    auto pPipe = std::make_unique<CPcapPipe>();
    CPipeEventLog events;
    pPipe->SetEvents(&events);
    pPipe->SetTimeouts(10000, 10000);
    const std::string strInfo = Path("info.txt");
    ASSERT_EQ(pPipe->Open(FakeLauncher("ws.sh", "--info '" + strInfo + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    ASSERT_TRUE(WaitForFile(strInfo));
    const pid_t pid = InfoPid(strInfo);
    ASSERT_TRUE(StopProcessAndWait(pid));
    const SResumeOnExit resume{pid};
    const auto vSent = MakeRecords(1500);
    AddBatch(*pPipe, vSent, 0, vSent.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_LT(pPipe->GetStats().m_qwRecordsDelivered, vSent.size());
    const auto t0 = std::chrono::steady_clock::now();
    pPipe.reset();
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_FALSE(PathExists(m_strFifo));
}
