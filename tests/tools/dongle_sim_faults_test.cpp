// The faults the simulator offers, seen from the host's end of the line:
// missing and late answers, stray bytes, hang-ups, limits, bursts, pacing and
// a host that stops reading.
#include "dongle_sim_harness.h"
#include "dongle_sim_pcap.h"

#include "link/frame_reader.h"

namespace {

class DongleSimFaults : public ::testing::Test {
protected:
    std::string PortsDir() const { return m_dir / "ports"; }
    std::string Link() const { return PortsDir() + "/com200"; }

    void StartAndOpen(std::vector<std::string> vecArgs)
    {
        vecArgs.insert(vecArgs.begin(), {"--ports-dir", PortsDir()});
        ASSERT_FALSE(m_sim.StartReady(vecArgs).empty()) << m_sim.Err();
        ASSERT_TRUE(m_line.Open(Link())) << strerror(errno);
    }

    CTestTempDir m_dir;
    CSimProcess m_sim;
    CHostLine m_line;
};

// The project's own frame reader over a byte vector, as the controller runs it.
class CVecSource : public IRfByteSource, public IRfFrameSink {
public:
    explicit CVecSource(const CByteVec& by) : m_by(by) {}
    int32_t GetCount() override { return static_cast<int32_t>(m_by.size() - m_nPos); }
    int32_t Read(uint8_t* p, int32_t n) override
    {
        const int32_t nTake = std::min(n, GetCount());
        std::memcpy(p, m_by.data() + m_nPos, static_cast<size_t>(nTake));
        m_nPos += static_cast<size_t>(nTake);
        return nTake;
    }
    void DeliverFrame(const uint8_t* p, int32_t n) override { m_vecFrames.emplace_back(p, p + n); }
    void RequestRerun() override { m_bRerun = true; }

    std::vector<CByteVec> RunReader()
    {
        CFrameReader reader;
        do {
            m_bRerun = false;
            reader.Step(*this, *this);
        } while (m_bRerun);
        m_qwDropped = reader.GetDroppedBytes();
        return m_vecFrames;
    }

    uint64_t m_qwDropped = 0;

private:
    const CByteVec& m_by;
    size_t m_nPos = 0;
    bool m_bRerun = false;
    std::vector<CByteVec> m_vecFrames;
};

TEST_F(DongleSimFaults, NoAckAnswersNothingYetCommandsAct)
{
    StartAndOpen({"--no-ack", "--rate", "500"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(SetChannelCommand(16)));
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 10, 3000));
    ASSERT_TRUE(m_line.Write(StopCommand()));
    ASSERT_TRUE(m_sim.WaitForText("cmd stop", 2000));
    const CByteVec byLate = m_line.ReadFor(150);
    by.insert(by.end(), byLate.begin(), byLate.end());
    const CFrameSplit split = SplitFrames(by);
    EXPECT_EQ(0u, CountAcks(split));
    EXPECT_EQ(16, DataFrames(split).front()[3]);
    EXPECT_TRUE(m_sim.WaitForText("cmd set-channel 16", 100));
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    EXPECT_EQ(0u, m_sim.Summary().at("acks"));
    EXPECT_EQ(3u, m_sim.Summary().at("commands"));
}

TEST_F(DongleSimFaults, AckDelayAnswersLateButWithinReach)
{
    StartAndOpen({"--ack-delay", "200"});
    CByteVec by;
    const uint64_t qwSent = TestNowMs();
    ASSERT_TRUE(m_line.Write(SetChannelCommand(11)));
    ASSERT_TRUE(ReadAcks(m_line, by, 1, 2000));
    const uint64_t qwTook = TestNowMs() - qwSent;
    EXPECT_GE(qwTook, 195u);
    EXPECT_LT(qwTook, 900u);
}

TEST_F(DongleSimFaults, GarbageBetweenFramesLosesNoFrameToAResyncingReader)
{
    const std::string strSent = m_dir / "sent.pcap";
    StartAndOpen({"--garbage", "--rate", "1000", "--frames", "150", "--sent-pcap", strSent, "--seed", "21"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 150, 5000));
    ASSERT_TRUE(m_sim.WaitForText("frame limit of 150 reached", 2000));
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    const auto summary = m_sim.Summary();

    const CFrameSplit split = SplitFrames(by);
    EXPECT_GT(split.m_nSkipped, 0u) << "no garbage was sent";
    EXPECT_EQ(summary.at("garbage_bytes"), split.m_nSkipped);
    EXPECT_EQ(by.size(), summary.at("bytes"));

    // Quillmark's reader gets exactly the acknowledgement and the 150 frames,
    // and nothing made of garbage.
    CVecSource source(by);
    const std::vector<CByteVec> vecRead = source.RunReader();
    ASSERT_EQ(151u, vecRead.size());
    EXPECT_EQ(7u, vecRead.front().size());
    EXPECT_EQ(split.m_nSkipped, source.m_qwDropped);
    const std::vector<CByteVec> vecSent = ReadPcapPayloads(strSent);
    ASSERT_EQ(150u, vecSent.size());
    for (size_t i = 0; i < vecSent.size(); ++i)
        EXPECT_EQ(vecSent[i], PayloadOf(vecRead[i + 1])) << i;
}

TEST_F(DongleSimFaults, HangupAfterNFramesClosesTheLineAndExits)
{
    StartAndOpen({"--hangup-after", "12", "--rate", "1000"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(StartCommand()));
    m_line.ReadUntil(by, [](const CByteVec&) { return false; }, 3000);
    EXPECT_TRUE(m_line.HungUp()) << "the host never saw the line go";
    ASSERT_TRUE(m_sim.WaitExit(3000)) << "still running after the hang-up";
    EXPECT_EQ(0, m_sim.ExitCode());
    EXPECT_NE(std::string::npos, m_sim.Err().find("hanging up after 12 frames"));
    const CFrameSplit split = SplitFrames(by);
    EXPECT_EQ(12u, DataFrames(split).size());
    EXPECT_EQ(1u, CountAcks(split));
    EXPECT_EQ(12u, m_sim.Summary().at("frames"));
    struct stat st;
    EXPECT_NE(0, lstat(Link().c_str(), &st)) << "the port link outlived the hang-up";
    // Gone for good: the device cannot be opened again as the port.
    CHostLine again;
    EXPECT_FALSE(again.Open(Link()));
}

TEST_F(DongleSimFaults, FrameLimitSendsExactlyThatManyAndKeepsAnswering)
{
    StartAndOpen({"--frames", "20", "--rate", "1000"});
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(m_sim.WaitForText("frame limit of 20 reached", 3000));
    const CByteVec bySent = m_line.ReadFor(150);
    EXPECT_EQ(20u, DataFrames(SplitFrames(bySent)).size());
    CByteVec byStop;
    ASSERT_TRUE(m_line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(m_line, byStop, 1, 1000)) << "no answer once the limit was reached";
    EXPECT_EQ(0u, DataFrames(SplitFrames(byStop)).size()) << "frames after the limit";
    ASSERT_TRUE(m_sim.Signal(SIGTERM));
    EXPECT_EQ(20u, m_sim.Summary().at("frames"));
    EXPECT_EQ(2u, m_sim.Summary().at("acks"));
}

TEST_F(DongleSimFaults, BurstArrivesAtOnceThenTheRateHolds)
{
    StartAndOpen({"--burst", "300", "--rate", "2"});
    CByteVec by;
    const uint64_t qwStart = TestNowMs();
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 300, 3000));
    // At 2 frames a second, 300 frames would take minutes.
    EXPECT_LT(TestNowMs() - qwStart, 2500u);
    const CByteVec byAfter = m_line.ReadFor(300);
    EXPECT_LE(DataFrames(SplitFrames(byAfter)).size(), 1u);
    const CFrameSplit split = SplitFrames(by);
    EXPECT_EQ(0u, split.m_nSkipped);
}

TEST_F(DongleSimFaults, LineRateKeepsToAMegabaud)
{
    StartAndOpen({"--line-rate"});
    CByteVec by;
    ASSERT_TRUE(m_line.Write(StartCommand()));
    ASSERT_TRUE(ReadDataFrames(m_line, by, 1, 1000));
    by.clear();
    const uint64_t qwStart = TestNowMs();
    const CByteVec byWindow = m_line.ReadFor(400);
    const uint64_t qwMs = TestNowMs() - qwStart;
    // 100 bytes per millisecond at most (10 bits a byte); far more would flood
    // the host's receive ring faster than any real dongle.
    EXPECT_LE(byWindow.size(), qwMs * 100u + 2000u);
    EXPECT_GE(byWindow.size(), qwMs * 100u / 4u) << "far below the line rate";
}

TEST_F(DongleSimFaults, HostThatStopsReadingIsWaitedForNotSpunOn)
{
    StartAndOpen({"--line-rate"});
    ASSERT_TRUE(m_line.Write(StartCommand()));
    // Read nothing: the terminal's buffer fills and the simulator must wait.
    usleep(300000);
    const double dCpuBefore = m_sim.CpuMs();
    usleep(400000);
    EXPECT_LT(m_sim.CpuMs() - dCpuBefore, 80.0) << "busy while the line is full";
    // Reading again, the stream is intact: the frames are whole and in order.
    CByteVec by;
    m_line.ReadUntil(by, [](const CByteVec& b) { return b.size() > 30000; }, 5000);
    const CFrameSplit split = SplitFrames(by);
    EXPECT_EQ(0u, split.m_nSkipped);
    const std::vector<CByteVec> vecData = DataFrames(split);
    ASSERT_GT(vecData.size(), 500u);
    for (size_t i = 1; i < vecData.size(); ++i) {
        const uint16_t wPrev = static_cast<uint16_t>(vecData[i - 1][4] | (vecData[i - 1][5] << 8));
        const uint16_t wThis = static_cast<uint16_t>(vecData[i][4] | (vecData[i][5] << 8));
        ASSERT_EQ(static_cast<uint16_t>(wPrev + 1), wThis) << "frame lost or split at " << i;
    }
}

}
