// The capture session on the portable window loop against the simulated
// dongle on a pty: a stop asked for before Run, a stop from another thread
// while frames flow, a FIFO whose reader leaves mid-capture (with frames
// flowing, or on a quiet channel), and a FIFO whose reader keeps its end open
// but stops reading (or never opens it).
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/act_when.h"
#include "common/child_process_posix.h"
#include "common/sim_summary.h"
#include "common/temp_dir_posix.h"
#include "engine/capture_session.h"

namespace {

constexpr int WAIT_MS = 10000;

class CRecordingReport : public ISessionReport {
public:
    void OnSessionLine(const std::string& strLine) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecLines.push_back(strLine);
    }
    void OnSessionProgress(const CSessionStats&) override { m_nProgress.fetch_add(1); }
    bool Has(const std::string& strText)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (const std::string& strLine : m_vecLines) {
            if (strLine.find(strText) != std::string::npos)
                return true;
        }
        return false;
    }
    std::atomic<int> m_nProgress { 0 };

private:
    std::mutex m_mtx;
    std::vector<std::string> m_vecLines;
};

// Bytes waiting in the pipe behind nFd.
int PipeFill(int nFd)
{
    int nBytes = 0;
    return ioctl(nFd, FIONREAD, &nBytes) == 0 ? nBytes : 0;
}

// Reads what nFd (non-blocking) has, up to nMax bytes.
std::string ReadSome(int nFd, size_t nMax)
{
    std::string str;
    char byBuf[4096];
    while (str.size() < nMax) {
        const ssize_t n = read(nFd, byBuf, std::min(sizeof byBuf, nMax - str.size()));
        if (n <= 0)
            break;
        str.append(byBuf, static_cast<size_t>(n));
    }
    return str;
}

// Tells when a pipe is full: more than half its capacity waits in it and has
// not changed for a while although frames keep coming (polled every 2 ms).
class CPipeStall {
public:
    CPipeStall(int nFd, int nCapacity) : m_nFd(nFd), m_nCapacity(nCapacity) {}
    bool Stalled()
    {
        const int nFill = PipeFill(m_nFd);
        m_nSame = nFill == m_nLast ? m_nSame + 1 : 0;
        m_nLast = nFill;
        return nFill > m_nCapacity / 2 && m_nSame >= STALL_POLLS;
    }

private:
    static constexpr int STALL_POLLS = 50;
    const int m_nFd;
    const int m_nCapacity;
    int m_nLast = -1;
    int m_nSame = 0;
};

size_t CountRecords(const std::string& strPath, bool* pbComplete)
{
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    if (pPcap == nullptr)
        return 0;
    size_t n = 0;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1)
        ++n;
    *pbComplete = nRc == PCAP_ERROR_BREAK;
    pcap_close(pPcap);
    return n;
}

class CCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<std::string> vecArgs = { QM_DONGLE_SIM_PATH, "--port", "202", "--ports-dir", m_dir.Path(), "--rate", "400" };
        vecArgs.insert(vecArgs.end(), m_vecSimExtra.begin(), m_vecSimExtra.end());
        ASSERT_TRUE(m_sim.Spawn(vecArgs));
        ASSERT_TRUE(m_sim.WaitForText("\n", WAIT_MS, false));
        const size_t nAt = m_sim.Out().find("ready ");
        ASSERT_NE(nAt, std::string::npos);
        m_opts.m_target.m_strDevice = m_sim.Out().substr(nAt + 6, m_sim.Out().find('\n', nAt) - nAt - 6);
        m_opts.m_target.m_nChannel = 18;
        m_opts.m_strOutput = m_dir / "out.pcap";
    }
    // The session writes into a new FIFO whose reading end is opened here
    // first, as Wireshark does (non-blocking); the reader, or -1.
    int OutputToFifo(const char* pszName)
    {
        const std::string strFifo = m_dir / pszName;
        if (mkfifo(strFifo.c_str(), 0600) != 0)
            return -1;
        m_opts.m_strOutput = strFifo;
        m_opts.m_eOutput = EPcapFileOpen::Existing;
        return open(strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // How a capture whose reader went away ends, and that the dongle was stopped.
    void ExpectEndedByReaderGone(ESessionEnd eEnd)
    {
        EXPECT_EQ(eEnd, ESessionEnd::OutputFailed);
        EXPECT_EQ(m_session.GetOutputError().m_eKind, EOsError::Gone);
        EXPECT_TRUE(m_report.Has("went away"));
        EXPECT_EQ(SimStops(), 1u);
    }
    uint64_t SimStops()
    {
        m_sim.Signal(SIGTERM, WAIT_MS);
        return ParseSimSummary(m_sim.Out())["stop"];
    }

    std::vector<std::string> m_vecSimExtra;   // set before SetUp
    CTestTempDir m_dir { "qm-session" };
    CChildProcess m_sim;
    CSessionOptions m_opts;
    CCaptureSession m_session;
    CRecordingReport m_report;
};

// A dongle that sends three frames, then nothing.
class CQuietSessionTest : public CCaptureSessionTest {
protected:
    CQuietSessionTest() { m_vecSimExtra = { "--frames", "3" }; }
};

} // namespace

TEST_F(CCaptureSessionTest, StopAskedBeforeRunEndsItAtOnceAndOnlyOnce)
{
    m_session.RequestStop();
    EXPECT_EQ(m_session.Run(m_opts, m_report), ESessionEnd::Stopped);
    EXPECT_NE(access(m_opts.m_strOutput.c_str(), F_OK), 0);   // nothing opened

    // That stop was spent: the next run captures.
    m_opts.m_limits.m_qwMaxFrames = 3;
    EXPECT_EQ(m_session.Run(m_opts, m_report), ESessionEnd::LimitReached);
    EXPECT_EQ(m_session.GetStats().m_qwFrames, 3u);
    EXPECT_EQ(SimStops(), 1u);
}

TEST_F(CCaptureSessionTest, StopFromAnotherThreadSendsTheStopCommandAndClosesTheFile)
{
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    {
        CActWhen stopper([this] { return m_session.GetStats().m_qwFrames >= 10 && m_report.m_nProgress.load() > 0; },
                         [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped);
    EXPECT_GT(m_report.m_nProgress.load(), 0);
    EXPECT_TRUE(m_report.Has("Start ZigBee sniffing OK!"));
    EXPECT_TRUE(m_report.Has("Stop ZigBee sniffing OK!"));
    bool bComplete = false;
    EXPECT_EQ(CountRecords(m_opts.m_strOutput, &bComplete), m_session.GetStats().m_qwFrames);
    EXPECT_TRUE(bComplete);
    EXPECT_GE(m_session.GetStats().m_qwFrames, 10u);
    EXPECT_EQ(SimStops(), 1u);
}

// Records held back to share a write are written at Stop, none lost: with a
// hold far longer than the capture, all but the first few wait for Stop.
TEST_F(CCaptureSessionTest, RecordsHeldBackAreWrittenAtStop)
{
    m_opts.m_dwFlushHoldUs = 10000000;
    size_t nInFileAtStop = 0;
    {
        CActWhen stopper([this] { return m_session.GetStats().m_qwBytes >= 3000; },
                         [&] {
                             bool bComplete = false;
                             nInFileAtStop = CountRecords(m_opts.m_strOutput, &bComplete);
                             m_session.RequestStop();
                         });
        EXPECT_EQ(m_session.Run(m_opts, m_report), ESessionEnd::Stopped);
    }
    bool bComplete = false;
    const size_t nInFile = CountRecords(m_opts.m_strOutput, &bComplete);
    EXPECT_TRUE(bComplete);
    EXPECT_EQ(nInFile, m_session.GetStats().m_qwFrames);
    EXPECT_EQ(m_session.GetStats().m_qwLost, 0u);
    EXPECT_LT(nInFileAtStop + 10, nInFile) << "records were not held back";
    EXPECT_EQ(SimStops(), 1u);
}

TEST_F(CCaptureSessionTest, FifoReaderLeavingEndsTheCaptureAsOutputFailed)
{
    const int nReader = OutputToFifo("fifo");
    ASSERT_GE(nReader, 0);
    ESessionEnd eEnd = ESessionEnd::Stopped;
    {
        CActWhen reader([this] { return m_session.GetStats().m_qwFrames >= 5; }, [nReader] { close(nReader); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_GT(m_session.GetStats().m_qwLost, 0u);   // the batches after the reader left
    ExpectEndedByReaderGone(eEnd);
}

// Wireshark closes its FIFO while the channel is quiet: no write comes to
// find out, yet the capture ends as when a write does, and the dongle gets
// its stop command (a capture left running would hold the port for good).
TEST_F(CQuietSessionTest, FifoReaderLeavingAQuietCaptureEndsItWithoutAWrite)
{
    const int nReader = OutputToFifo("quiet");
    ASSERT_GE(nReader, 0);
    ESessionEnd eEnd = ESessionEnd::Stopped;
    {
        CActWhen reader([this] { return m_session.GetStats().m_qwFrames >= 3; }, [nReader] { close(nReader); });
        // Only if the reader's leaving goes unseen: a Stop after WAIT_MS.
        CActWhen fallback([] { return false; }, [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(m_session.GetStats().m_qwFrames, 3u);
    EXPECT_EQ(m_session.GetStats().m_qwLost, 0u);
    ExpectEndedByReaderGone(eEnd);
}

// The reader reads the header and a few records, then stops reading with its
// end open: the stop still sends the stop command, closes the port and
// returns, and all the reader gets, now or later, is whole records.
TEST_F(CCaptureSessionTest, FifoReaderThatStopsReadingDoesNotHoldTheStopBack)
{
    const int nReader = OutputToFifo("stalled");
    ASSERT_GE(nReader, 0);
    const int nCapacity = fcntl(nReader, F_SETPIPE_SZ, 4 * PIPE_BUF);
    ASSERT_GT(nCapacity, 0);
    std::string strRead;
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    {
        CActWhen reader([nReader] { return PipeFill(nReader) >= 200; },
                        [&strRead, nReader] { strRead = ReadSome(nReader, 150); });
        // Full: the writer waits for room while frames keep coming.
        CPipeStall stall(nReader, nCapacity);
        CActWhen stopper([&stall] { return stall.Stalled(); },
                         [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped);
    EXPECT_TRUE(m_report.Has("Stop ZigBee sniffing OK!"));
    EXPECT_EQ(SimStops(), 1u);

    strRead += ReadSome(nReader, SIZE_MAX);
    close(nReader);
    const std::string strCopy = m_dir / "read.pcap";
    std::ofstream(strCopy, std::ios::binary) << strRead;
    bool bComplete = false;
    EXPECT_EQ(CountRecords(strCopy, &bComplete), m_session.GetStats().m_qwFrames);
    EXPECT_TRUE(bComplete);
    EXPECT_GT(m_session.GetStats().m_qwFrames, 0u);
}

TEST_F(CCaptureSessionTest, StopEndsTheWaitForAFifoReaderThatNeverCame)
{
    const std::string strFifo = m_dir / "unread";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    m_opts.m_strOutput = strFifo;
    m_opts.m_eOutput = EPcapFileOpen::Existing;
    const auto start = std::chrono::steady_clock::now();
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    {
        CActWhen stopper([start] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(50); },
                         [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped);
    EXPECT_FALSE(m_report.Has("Start ZigBee sniffing"));   // the port was never opened
    EXPECT_EQ(SimStops(), 0u);
}

// A dongle that stops but never answers the stop command.
class CNoStopAnswerSessionTest : public CCaptureSessionTest {
protected:
    CNoStopAnswerSessionTest() { m_vecSimExtra = { "--no-stop-ack" }; }
};

// The missing answer is told, and the port is closed all the same: the run
// ends and the dongle sees its host go.
TEST_F(CNoStopAnswerSessionTest, StopWithoutAnswerIsToldAndThePortClosed)
{
    m_opts.m_dwAckTimeoutMs = 200;
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    {
        CActWhen stopper([this] { return m_session.GetStats().m_qwFrames >= 5; }, [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped);
    EXPECT_TRUE(m_report.Has("Stop ZigBee sniffing OK!"));
    EXPECT_TRUE(m_report.Has("The dongle did not answer the stop command within 200 ms"));
    EXPECT_TRUE(m_sim.WaitForText("host closed the port", WAIT_MS)) << m_sim.Out();
    bool bComplete = false;
    EXPECT_EQ(CountRecords(m_opts.m_strOutput, &bComplete), m_session.GetStats().m_qwFrames);
    EXPECT_TRUE(bComplete);
    EXPECT_EQ(SimStops(), 1u);
}
