// CPcapPipe against real FIFOs and real client processes: the launched fake
// Wireshark copies what it reads to a file, which libpcap then reads back.
// Open returns once Wireshark is launched; the writer thread reports the
// client through events, and records reach it in the background.
#include "common/stop_process_posix.h"
#include "pcap_pipe_fixture.h"

#include "pcap/pcap_stream.h"

static const uint8_t GLOBAL_HEADER[24] = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00};

static uint64_t NowUsec()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

static int64_t ElapsedMs(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// Every record of a capture against the payloads that were sent.
static void ExpectRecords(const SCapture& cap, const std::vector<std::vector<uint8_t>>& vSent)
{
    ASSERT_TRUE(cap.m_bOk) << cap.m_strError;
    EXPECT_EQ(cap.m_nLinkType, 195);
    EXPECT_EQ(cap.m_nSnapLen, 65535);
    ASSERT_EQ(cap.m_records.size(), vSent.size());
    for (size_t i = 0; i < vSent.size(); ++i) {
        const SRecord& rec = cap.m_records[i];
        EXPECT_EQ(rec.m_byData, vSent[i]) << "record " << i;
        EXPECT_EQ(rec.m_dwCapLen, vSent[i].size()) << "record " << i;
        EXPECT_EQ(rec.m_dwOrigLen, vSent[i].size() + 2) << "record " << i;
        if (i > 0) {
            EXPECT_GE(rec.Usec(), cap.m_records[i - 1].Usec()) << "record " << i;
        }
    }
}

static size_t StreamSize(const std::vector<std::vector<uint8_t>>& vSent)
{
    size_t n = PCAP_GLOBAL_HEADER_LEN;
    for (const auto& v : vSent)
        n += PCAP_RECORD_HEADER_LEN + v.size();
    return n;
}

TEST_F(CPipeTest, LaunchedClientGetsTheGlobalHeaderThenEveryRecordInOrder)
{
    const std::string strOut = Path("out.pcap"), strInfo = Path("info.txt");
    const std::string strLauncher = FakeLauncher("ws.sh", "--out '" + strOut + "' --info '" + strInfo + "'");
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    EXPECT_EQ(std::string(pipe.GetPipePath()), m_strFifo);

    const uint64_t qwBefore = NowUsec();
    CStdoutCapture out(Path("stdout.txt"));
    ASSERT_EQ(pipe.Open(strLauncher.c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    EXPECT_EQ(out.Stop(), "execute success !\n");
    EXPECT_EQ(events.Events(), std::vector<int32_t>{PIPE_EVENT_CONNECTED});
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CONNECTED);
    EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_NONE);
    EXPECT_EQ(pipe.GetLastLaunchError().m_eKind, EOsError::None);

    // Zero-length, small, and one larger than the FIFO's buffer (the write
    // must wait for the reader rather than give up).
    std::vector<std::vector<uint8_t>> vSent;
    const size_t LENGTHS[] = {0, 1, 3, 16, 24, 127, 1000, 4096, 65535, 200, 65535, 5};
    uint8_t bySeed = 1;
    for (size_t nLen : LENGTHS) {
        vSent.push_back(Payload(nLen, bySeed++));
        pipe.WritePacket(vSent.back().data(), static_cast<int32_t>(nLen));
        // Lengths no reader accepts are refused without touching the stream.
        const std::vector<uint8_t> vBig(65536, 0xEE);
        pipe.WritePacket(vBig.data(), 65536);
        pipe.WritePacket(vBig.data(), -1);
        pipe.WritePacket(nullptr, 4);
    }
    ASSERT_TRUE(WaitDelivered(pipe, vSent.size()));
    pipe.Disconnect();
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_IDLE);
    const CPcapPipeStats stats = pipe.GetStats();
    EXPECT_EQ(stats.m_qwRecordsQueued, vSent.size());   // the refused ones are no records
    EXPECT_EQ(stats.m_qwRecordsDelivered, vSent.size());
    EXPECT_EQ(stats.m_qwBytesDelivered, StreamSize(vSent));
    EXPECT_EQ(stats.m_qwDroppedNoReader + stats.m_qwDroppedSlowReader, 0u);
    EXPECT_TRUE(IsFifo(m_strFifo));   // kept for the next capture

    ASSERT_TRUE(WaitForFile(strOut)) << "the client never saw the end of the stream";
    const std::string strRaw = ReadFileText(strOut);
    ASSERT_GE(strRaw.size(), 24u);
    EXPECT_EQ(0, memcmp(strRaw.data(), GLOBAL_HEADER, 24));
    EXPECT_EQ(strRaw.size(), StreamSize(vSent));   // no second global header, nothing refused
    const SCapture cap = ReadCapture(strOut);
    ExpectRecords(cap, vSent);
    ASSERT_FALSE(cap.m_records.empty());
    EXPECT_GE(cap.m_records.front().Usec(), qwBefore);
    EXPECT_LE(cap.m_records.back().Usec(), NowUsec());

    // Wireshark was given exactly "-i <fifo> -k", and the FIFO is private.
    const std::vector<std::string> vInfo = SplitLines(ReadFileText(strInfo));
    ASSERT_GE(vInfo.size(), 3u);
    EXPECT_EQ(vInfo[vInfo.size() - 3], "-i");
    EXPECT_EQ(vInfo[vInfo.size() - 2], m_strFifo);
    EXPECT_EQ(vInfo[vInfo.size() - 1], "-k");
    struct stat st;
    ASSERT_EQ(lstat(m_strFifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(lstat((m_strRun + "/quillmark").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(CPipeTest, ClientThatLeavesIsReplacedWithinTheWaitAndGetsTheFailedRecordWithItsOriginalStamp)
{
    const std::string strFirst = Path("first.pcap"), strSecond = Path("second.pcap");
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--records 3 --out '" + strFirst + "'").c_str()), 1);
    std::vector<std::vector<uint8_t>> vSent;
    for (uint8_t i = 0; i < 3; ++i) {
        vSent.push_back(Payload(20 + i, i));
        pipe.WritePacket(vSent.back().data(), static_cast<int32_t>(vSent.back().size()));
    }
    // The first client reads three records and goes away.
    ASSERT_TRUE(WaitForFile(strFirst));
    ExpectRecords(ReadCapture(strFirst), vSent);

    // Another client turns up 300 ms later; the next frame waits for it on the
    // writer thread, never in the caller.
    const pid_t pid = SpawnFake({"--delay-ms", "300", "--out", strSecond, "-i", m_strFifo, "-k"});
    ASSERT_GT(pid, 0);
    const std::vector<uint8_t> vFourth = Payload(33, 0x40), vFifth = Payload(7, 0x50);
    const uint64_t qwBefore = NowUsec();
    const auto t0 = std::chrono::steady_clock::now();
    pipe.WritePacket(vFourth.data(), static_cast<int32_t>(vFourth.size()));
    EXPECT_LT(ElapsedMs(t0), 100);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CLIENT_BACK));
    EXPECT_GE(ElapsedMs(t0), 250);   // it did wait for the new client
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CONNECTED);
    EXPECT_EQ(events.Events(),
              (std::vector<int32_t>{PIPE_EVENT_CONNECTED, PIPE_EVENT_CLIENT_GONE, PIPE_EVENT_CLIENT_BACK}));
    pipe.WritePacket(vFifth.data(), static_cast<int32_t>(vFifth.size()));
    ASSERT_TRUE(WaitDelivered(pipe, 5));
    pipe.Disconnect();

    ASSERT_TRUE(WaitForFile(strSecond));
    EXPECT_EQ(WaitChild(pid), 0);
    const std::string strRaw = ReadFileText(strSecond);
    ASSERT_GE(strRaw.size(), 24u);
    EXPECT_EQ(0, memcmp(strRaw.data(), GLOBAL_HEADER, 24));
    const SCapture cap = ReadCapture(strSecond);
    ExpectRecords(cap, {vFourth, vFifth});
    ASSERT_EQ(cap.m_records.size(), 2u);
    // The fourth record keeps the stamp taken before the wait; the fifth was
    // stamped after the new client had come.
    EXPECT_GE(cap.m_records[0].Usec(), qwBefore);
    EXPECT_LT(cap.m_records[0].Usec(), qwBefore + 150000);
    EXPECT_GE(cap.m_records[1].Usec() - cap.m_records[0].Usec(), 250000u);
}

TEST_F(CPipeTest, NoClientWithinTheWaitClosesThePipeAndTheNextOpenCreatesANewOne)
{
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(200, 200);
    CStdoutCapture out(Path("stdout.txt"));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pipe.Open(FakeLauncher("never.sh", "--no-open").c_str()), 1);   // launched
    EXPECT_LT(ElapsedMs(t0), 150);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECT_FAILED));
    EXPECT_GE(ElapsedMs(t0), 190);
    EXPECT_EQ(out.Stop(), "execute success !\nPipe open error!\r\n");
    EXPECT_EQ(events.Events(), std::vector<int32_t>{PIPE_EVENT_CONNECT_FAILED});
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_CONNECT_TIMEOUT);
    EXPECT_EQ(pipe.GetLastPipeError().m_eKind, EOsError::TimedOut);
    EXPECT_FALSE(pipe.GetLastPipeError().m_strText.empty());
    EXPECT_EQ(pipe.GetLastLaunchError().m_eKind, EOsError::None);
    EXPECT_FALSE(PathExists(m_strFifo));

    // Closed: frames go nowhere, at once.
    const std::vector<uint8_t> v = Payload(10, 1);
    const auto t1 = std::chrono::steady_clock::now();
    pipe.WritePacket(v.data(), 10);
    EXPECT_LT(ElapsedMs(t1), 100);
    EXPECT_FALSE(PathExists(m_strFifo));
    EXPECT_EQ(pipe.GetStats().m_qwDroppedNoReader, 1u);

    const std::string strOut = Path("out.pcap");
    pipe.SetTimeouts(10000, 10000);
    CStdoutCapture out2(Path("stdout2.txt"));
    ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--out '" + strOut + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    EXPECT_EQ(out2.Stop(), "execute success !\n");
    EXPECT_TRUE(IsFifo(m_strFifo));
    pipe.WritePacket(v.data(), 10);
    ASSERT_TRUE(WaitDelivered(pipe, 1));
    pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    ExpectRecords(ReadCapture(strOut), {v});
}

TEST_F(CPipeTest, ProgramThatCannotStartKeepsThePipeForTheNextOpen)
{
    CPcapPipe pipe;
    pipe.SetTimeouts(10000, 10000);
    {
        CStdoutCapture out(Path("stdout1.txt"));
        EXPECT_EQ(pipe.Open(Path("no-such-dir/wireshark").c_str()), 0);
        EXPECT_EQ(out.Stop(), "Error: execute failed! err_code=2\n");
    }
    EXPECT_EQ(pipe.GetLastLaunchError().m_nCode, 2);
    EXPECT_EQ(pipe.GetLastLaunchError().m_eKind, EOsError::NotFound);
    EXPECT_EQ(pipe.GetLastOpenFailure(), PIPE_FAIL_LAUNCH);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_IDLE);
    ASSERT_TRUE(IsFifo(m_strFifo));
    const ino_t nInode = InodeOf(m_strFifo);

    // A bare name is looked up in PATH only.
    const char* pszPath = getenv("PATH");
    const std::string strSavedPath = pszPath != nullptr ? pszPath : "";
    ASSERT_EQ(mkdir(Path("bin").c_str(), 0700), 0);
    setenv("PATH", Path("bin").c_str(), 1);
    {
        CStdoutCapture out(Path("stdout2.txt"));
        EXPECT_EQ(pipe.Open("qm-no-such-wireshark"), 0);
        EXPECT_EQ(out.Stop(), "Error: execute failed! err_code=2\n");
    }
    setenv("PATH", strSavedPath.c_str(), 1);

    // A file that is not executable: the error number says why.
    WriteFileText(Path("plain.txt"), "not a program\n", 0600);
    {
        CStdoutCapture out(Path("stdout3.txt"));
        EXPECT_EQ(pipe.Open(Path("plain.txt").c_str()), 0);
        EXPECT_EQ(out.Stop(), "Error: execute failed! err_code=13\n");
    }
    EXPECT_EQ(pipe.GetLastLaunchError().m_nCode, 13);
    EXPECT_EQ(pipe.GetLastLaunchError().m_eKind, EOsError::AccessDenied);
    EXPECT_EQ(InodeOf(m_strFifo), nInode);   // no second pipe

    const std::string strOut = Path("out.pcap");
    ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--out '" + strOut + "'").c_str()), 1);
    EXPECT_EQ(pipe.GetLastLaunchError().m_eKind, EOsError::None);
    EXPECT_EQ(InodeOf(m_strFifo), nInode);
    const std::vector<uint8_t> v = Payload(12, 9);
    pipe.WritePacket(v.data(), 12);   // queued while Wireshark starts
    ASSERT_TRUE(WaitDelivered(pipe, 1));
    pipe.Disconnect();
    ASSERT_TRUE(WaitForFile(strOut));
    ExpectRecords(ReadCapture(strOut), {v});
}

TEST_F(CPipeTest, StopThenStartServesTheNewClientAFreshStreamOnTheSamePipe)
{
    const std::string strFirst = Path("first.pcap"), strSecond = Path("second.pcap");
    CPcapPipe pipe;
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(FakeLauncher("a.sh", "--out '" + strFirst + "'").c_str()), 1);
    const std::vector<uint8_t> v1 = Payload(11, 1), v2 = Payload(22, 2), v3 = Payload(33, 3);
    pipe.WritePacket(v1.data(), 11);
    pipe.WritePacket(v2.data(), 22);
    ASSERT_TRUE(WaitDelivered(pipe, 2));
    pipe.Disconnect();   // Stop
    EXPECT_TRUE(IsFifo(m_strFifo));

    // Start again at once, before the first client may even have noticed.
    ASSERT_EQ(pipe.Open(FakeLauncher("b.sh", "--out '" + strSecond + "'").c_str()), 1);
    EXPECT_EQ(std::string(pipe.GetPipePath()), m_strFifo);
    pipe.WritePacket(v3.data(), 33);
    pipe.WritePacket(v1.data(), 11);
    ASSERT_TRUE(WaitDelivered(pipe, 4));
    pipe.Disconnect();

    ASSERT_TRUE(WaitForFile(strFirst));
    ASSERT_TRUE(WaitForFile(strSecond));
    EXPECT_EQ(ReadFileText(strFirst).size(), StreamSize({v1, v2}));
    ExpectRecords(ReadCapture(strFirst), {v1, v2});
    const std::string strRaw = ReadFileText(strSecond);
    ASSERT_GE(strRaw.size(), 24u);
    EXPECT_EQ(0, memcmp(strRaw.data(), GLOBAL_HEADER, 24));
    EXPECT_EQ(strRaw.size(), StreamSize({v3, v1}));
    ExpectRecords(ReadCapture(strSecond), {v3, v1});
}

// A frame arriving after Stop (the dongle has not stopped yet) is dropped at
// once: waiting for a client would freeze the window for the reconnect wait.
// The client that has not yet read the end of its stream gets nothing more:
// a second global header in the middle of its capture would corrupt it.
TEST_F(CPipeTest, FrameAfterStopIsDroppedWithoutWaitingAndOldClientGetsNothingMore)
{
    const std::string strOut = Path("out.pcap"), strInfo = Path("info.txt");
    CPcapPipe pipe;
    pipe.SetTimeouts(10000, 200);
    ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--out '" + strOut + "' --info '" + strInfo + "'").c_str()), 1);
    const std::vector<uint8_t> v1 = Payload(40, 1), v2 = Payload(50, 2);
    pipe.WritePacket(v1.data(), 40);
    ASSERT_TRUE(WaitDelivered(pipe, 1));
    ASSERT_TRUE(WaitForFile(strInfo));
    const pid_t pidClient = InfoPid(strInfo);
    ASSERT_GT(pidClient, 0);
    ASSERT_TRUE(StopProcessAndWait(pidClient));   // too slow to notice the end
    pipe.Disconnect();

    // The reconnect wait is long (10 s): the frame must not sit it out.
    pipe.SetTimeouts(10000, 10000);
    const auto t0 = std::chrono::steady_clock::now();
    pipe.WritePacket(v2.data(), 50);
    EXPECT_LT(ElapsedMs(t0), 2000);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_IDLE);
    EXPECT_EQ(pipe.GetStats().m_qwDroppedNoReader, 1u);
    EXPECT_TRUE(IsFifo(m_strFifo));   // kept for the next Start

    ASSERT_EQ(kill(pidClient, SIGCONT), 0);
    ASSERT_TRUE(WaitForFile(strOut));
    EXPECT_EQ(ReadFileText(strOut).size(), StreamSize({v1}));
    ExpectRecords(ReadCapture(strOut), {v1});
}

// A client that has the pipe open before the wait begins counts at once: in
// Open when Wireshark itself never comes. A frame while Idle is not a reason
// to take that reader as a client.
TEST_F(CPipeTest, ClientThatOpenedBeforeTheWaitCountsAtOnce)
{
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(Path("missing-ws").c_str()), 0);   // leaves the pipe Idle
    ASSERT_TRUE(IsFifo(m_strFifo));
    const int nReader = open(m_strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);

    const std::vector<uint8_t> v = Payload(9, 3);
    auto t0 = std::chrono::steady_clock::now();
    pipe.WritePacket(v.data(), 9);
    EXPECT_LT(ElapsedMs(t0), 2000);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_IDLE);
    uint8_t byBuf[256];
    ssize_t n = read(nReader, byBuf, sizeof byBuf);
    EXPECT_LE(n, 0);   // nothing written: no writer has opened the FIFO

    // Stop and Start with a Wireshark that never opens the pipe: the reader
    // that is already there is the client.
    pipe.Disconnect();
    close(nReader);
    const int nReader2 = open(m_strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader2, 0);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pipe.Open(FakeLauncher("never.sh", "--no-open").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    EXPECT_LT(ElapsedMs(t0), 2000);
    n = read(nReader2, byBuf, sizeof byBuf);
    ASSERT_EQ(n, 24);
    EXPECT_EQ(0, memcmp(byBuf, GLOBAL_HEADER, 24));
    close(nReader2);
}

TEST_F(CPipeTest, ClientKilledOrStuckMidCaptureNeitherKillsNorHangsUs)
{
    const std::string strInfo = Path("info.txt");
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 150);
    ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--info '" + strInfo + "'").c_str()), 1);
    const std::vector<uint8_t> v = Payload(100, 5);
    pipe.WritePacket(v.data(), 100);
    ASSERT_TRUE(WaitDelivered(pipe, 1));
    ASSERT_TRUE(WaitForFile(strInfo));
    const pid_t pidClient = InfoPid(strInfo);
    ASSERT_GT(pidClient, 0);
    ASSERT_EQ(kill(pidClient, SIGKILL), 0);
    for (int i = 0; i < 1000 && ProcessState(pidClient) != 0 && ProcessState(pidClient) != 'Z'; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // The broken pipe is no signal to us: the writer waits out the (short)
    // reconnect wait and the link closes.
    auto t0 = std::chrono::steady_clock::now();
    pipe.WritePacket(v.data(), 100);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_RECONNECT_GAVE_UP, 5000));
    EXPECT_LT(ElapsedMs(t0), 5000);
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    EXPECT_FALSE(PathExists(m_strFifo));

    // A client that stops reading with the pipe full, then dies: the blocked
    // write ends with the client rather than hanging.
    const std::string strOut = Path("stall.pcap");
    events.Clear();
    ASSERT_EQ(pipe.Open(FakeLauncher("stall.sh", "--stall-ms 300 --out '" + strOut + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    const std::vector<uint8_t> vBig = Payload(65535, 7);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i)
        pipe.WritePacket(vBig.data(), 65535);
    EXPECT_LT(ElapsedMs(t0), 100);   // queued, not written by the caller
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_RECONNECT_GAVE_UP, 10000));
    EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
    ASSERT_TRUE(WaitForFile(strOut));
}

TEST_F(CPipeTest, OpenDuringACaptureDropsTheOldClientBeforeServingTheNewOne)
{
    const std::string strFirst = Path("first.pcap"), strSecond = Path("second.pcap");
    CPcapPipe pipe;
    CPipeEventLog events;
    pipe.SetEvents(&events);
    pipe.SetTimeouts(10000, 10000);
    ASSERT_EQ(pipe.Open(FakeLauncher("a.sh", "--out '" + strFirst + "'").c_str()), 1);
    const std::vector<uint8_t> v1 = Payload(15, 1), v2 = Payload(25, 2);
    pipe.WritePacket(v1.data(), 15);
    ASSERT_TRUE(WaitDelivered(pipe, 1));

    // No Stop in between: the old client must not be taken for the new one.
    events.Clear();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(pipe.Open(FakeLauncher("b.sh", "--delay-ms 300 --out '" + strSecond + "'").c_str()), 1);
    ASSERT_TRUE(events.WaitFor(PIPE_EVENT_CONNECTED));
    EXPECT_GE(ElapsedMs(t0), 250);
    pipe.WritePacket(v2.data(), 25);
    ASSERT_TRUE(WaitDelivered(pipe, 2));
    pipe.Disconnect();

    ASSERT_TRUE(WaitForFile(strFirst));
    ASSERT_TRUE(WaitForFile(strSecond));
    EXPECT_EQ(ReadFileText(strFirst).size(), StreamSize({v1}));
    ExpectRecords(ReadCapture(strFirst), {v1});
    EXPECT_EQ(ReadFileText(strSecond).size(), StreamSize({v2}));
    ExpectRecords(ReadCapture(strSecond), {v2});
}

TEST_F(CPipeTest, ClosedPipeTouchesNothingAndDestructionEndsTheClientAndRemovesTheFifo)
{
    {
        CPcapPipe pipe;
        const std::vector<uint8_t> v = Payload(8, 1);
        pipe.WritePacket(v.data(), 8);
        pipe.Disconnect();
        EXPECT_EQ(pipe.GetState(), PIPE_STATE_CLOSED);
        EXPECT_FALSE(PathExists(m_strRun + "/quillmark"));   // nothing created
    }
    const std::string strOut = Path("out.pcap");
    const std::vector<uint8_t> v = Payload(64, 4);
    {
        CPcapPipe pipe;
        pipe.SetTimeouts(10000, 10000);
        ASSERT_EQ(pipe.Open(FakeLauncher("ws.sh", "--out '" + strOut + "'").c_str()), 1);
        pipe.WritePacket(v.data(), 64);
        ASSERT_TRUE(WaitDelivered(pipe, 1));
        ASSERT_TRUE(IsFifo(m_strFifo));
    }
    EXPECT_FALSE(PathExists(m_strFifo));
    ASSERT_TRUE(WaitForFile(strOut));
    ExpectRecords(ReadCapture(strOut), {v});
}
