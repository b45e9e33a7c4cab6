// The simulated dongle's behaviour on a clock the test drives: pacing, bursts,
// acknowledgement timing and order, limits and host comings and goings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/frame_protocol.h"
#include "tools/dongle_sim/sim_engine.h"
#include "tools/dongle_sim/sim_traffic.h"

namespace {

typedef std::vector<uint8_t> CByteVec;

class CRecorder : public ISimEvents {
public:
    void Log(const std::string& strLine) override { m_vecLog.push_back(strLine); }
    void FrameSent(const uint8_t* pMac, int32_t nLen) override { m_vecSent.emplace_back(pMac, pMac + nLen); }
    bool Logged(const std::string& strPart) const
    {
        for (const std::string& str : m_vecLog)
            if (str.find(strPart) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> m_vecLog;
    std::vector<CByteVec> m_vecSent;
};

// Fixed MAC frames of growing length, so each one is recognisable.
class CCountingSource : public ISimPayloadSource {
public:
    bool NextPayload(CSimBytes& by) override
    {
        by.assign(static_cast<size_t>(5 + m_nNext % 20), static_cast<uint8_t>(m_nNext));
        ++m_nNext;
        return true;
    }
    int m_nNext = 0;
};

CByteVec Cmd(const uint8_t* p)
{
    return CByteVec(p, p + RF_CMD_LEN);
}

CByteVec SetChannel(int n)
{
    CByteVec by = Cmd(g_bySetChannelFrame11);
    PatchSetChannelFrame(by.data(), n);
    return by;
}

constexpr uint64_t T0 = 1000000;

class DongleSimEngine : public ::testing::Test {
protected:
    void Make() { m_pEngine = std::make_unique<CSimEngine>(m_opts, m_source, m_events, T0); }
    void Send(const CByteVec& by, uint64_t qwNow) { m_pEngine->OnReceived(by.data(), static_cast<int32_t>(by.size()), qwNow); }

    // Ticks at qwNow and writes everything the engine has (a host that keeps up).
    CByteVec Pump(uint64_t qwNow, int nMaxBlocks = 100000)
    {
        CByteVec byOut;
        for (int i = 0; i < nMaxBlocks; ++i) {
            m_pEngine->Tick(qwNow);
            if (!m_pEngine->HasOutput())
                break;
            int32_t nLen = 0;
            const uint8_t* p = m_pEngine->GetOutput(nLen);
            byOut.insert(byOut.end(), p, p + nLen);
            m_pEngine->OnWritten(nLen);
        }
        return byOut;
    }

    // Runs the clock from qwFrom to qwTo in steps of qwStep, writing everything.
    CByteVec RunClock(uint64_t qwFrom, uint64_t qwTo, uint64_t qwStep)
    {
        CByteVec by;
        for (uint64_t t = qwFrom; t <= qwTo; t += qwStep) {
            const CByteVec byNow = Pump(t);
            by.insert(by.end(), byNow.begin(), byNow.end());
        }
        return by;
    }

    static size_t CountFrames(const CByteVec& by, size_t* pAcks = nullptr)
    {
        size_t nData = 0;
        size_t nAcks = 0;
        for (size_t i = 0; i + 2 < by.size();) {
            if (by[i] != 0 || by[i + 1] != 1) {
                ++i;
                continue;
            }
            const size_t nTotal = by[i + 2] + 3u;
            (nTotal <= 7 ? nAcks : nData)++;
            i += nTotal;
        }
        if (pAcks != nullptr)
            *pAcks = nAcks;
        return nData;
    }

    CSimOptions m_opts;
    CCountingSource m_source;
    CRecorder m_events;
    std::unique_ptr<CSimEngine> m_pEngine;
};

TEST_F(DongleSimEngine, RatePacingGivesTheAskedFramesPerSecond)
{
    m_opts.m_dRate = 100;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    const CByteVec by = RunClock(T0, T0 + 999999, 250);
    size_t nAcks = 0;
    EXPECT_EQ(100u, CountFrames(by, &nAcks));
    EXPECT_EQ(1u, nAcks);
    EXPECT_EQ(100u, m_pEngine->GetStats().m_qwFrames);
}

TEST_F(DongleSimEngine, PacingDoesNotFloodAfterAStall)
{
    m_opts.m_dRate = 1000;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    Pump(T0);
    // Nobody wrote for 2 s (host not reading): at most the catch-up window is made up.
    const CByteVec by = RunClock(T0 + 2000000, T0 + 2000000, 1);
    EXPECT_LE(CountFrames(by), 1u + SIM_CATCH_UP_LIMIT_US / 1000u);
}

TEST_F(DongleSimEngine, LineRatePacesByFrameLengthAtTenMicrosecondsPerByte)
{
    m_opts.m_bLineRate = true;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    const CByteVec by = RunClock(T0, T0 + 100000 - 1, 5);
    // 100 ms of a 1,000,000-baud line carry 10000 bytes (8N1); the ack is 7.
    const uint64_t qwFrameBytes = m_pEngine->GetStats().m_qwFrameBytes;
    EXPECT_GE(qwFrameBytes, 10000u - 300u);
    EXPECT_LE(qwFrameBytes, 10000u + 300u);
    EXPECT_EQ(by.size(), qwFrameBytes + 7u);
}

TEST_F(DongleSimEngine, BurstComesAtOnceThenPacingResumes)
{
    m_opts.m_dRate = 10;
    m_opts.m_nBurst = 50;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    EXPECT_EQ(50u, CountFrames(Pump(T0)));
    // The next one a full period later, not at once.
    EXPECT_EQ(0u, CountFrames(Pump(T0 + 99999)));
    EXPECT_EQ(1u, CountFrames(Pump(T0 + 100000)));
    // A new start brings a new burst.
    Send(Cmd(g_byStopSniffFrame), T0 + 100001);
    Send(Cmd(g_byStartSniffFrame), T0 + 100002);
    EXPECT_EQ(50u, CountFrames(Pump(T0 + 100002)));
}

TEST_F(DongleSimEngine, NoFramesBeforeStartOrAfterStop)
{
    m_opts.m_dRate = 1000;
    Make();
    Send(SetChannel(19), T0);
    size_t nAcks = 0;
    EXPECT_EQ(0u, CountFrames(RunClock(T0, T0 + 50000, 1000), &nAcks));
    EXPECT_EQ(1u, nAcks);
    EXPECT_EQ(SIM_NEVER, m_pEngine->GetNextWakeUs()) << "wakes although idle";
    Send(Cmd(g_byStartSniffFrame), T0 + 50000);
    const CByteVec by = RunClock(T0 + 50000, T0 + 60000, 1000);
    EXPECT_GT(CountFrames(by), 5u);
    EXPECT_EQ(19, by[7 + 3]) << "channel byte of the first frame";
    Send(Cmd(g_byStopSniffFrame), T0 + 60001);
    const CByteVec byAfter = RunClock(T0 + 60001, T0 + 200000, 1000);
    size_t nAfterAcks = 0;
    EXPECT_EQ(0u, CountFrames(byAfter, &nAfterAcks));
    EXPECT_EQ(1u, nAfterAcks);
    EXPECT_TRUE(m_events.Logged("sniffing stopped"));
}

TEST_F(DongleSimEngine, DelayedAckComesExactlyWhenDueAndCommandsActAtOnce)
{
    m_opts.m_nAckDelayMs = 250;
    m_opts.m_dRate = 1000;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    EXPECT_EQ(T0, m_pEngine->GetNextWakeUs()) << "the first frame is due at once";
    size_t nAcks = 0;
    const CByteVec byEarly = RunClock(T0, T0 + 249999, 1000);
    EXPECT_GT(CountFrames(byEarly, &nAcks), 200u) << "the start acts before its late answer";
    EXPECT_EQ(0u, nAcks);
    const CByteVec byDue = Pump(T0 + 250000, 1);
    ASSERT_GE(byDue.size(), 7u);
    EXPECT_EQ(0x81, byDue[3]) << "the start's answer comes first when due";
}

TEST_F(DongleSimEngine, AckJumpsAheadOfWaitingFramesButNeverSplitsOne)
{
    m_opts.m_dRate = 1000;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    Pump(T0);
    m_pEngine->Tick(T0 + 1000);   // the next frame is queued, not started
    int32_t nLen = 0;
    const uint8_t* p = m_pEngine->GetOutput(nLen);
    ASSERT_GT(nLen, 7);
    const CByteVec byFrame(p, p + nLen);
    Send(Cmd(g_byStopSniffFrame), T0 + 1000);
    m_pEngine->Tick(T0 + 1000);
    p = m_pEngine->GetOutput(nLen);
    ASSERT_EQ(7, nLen) << "the answer waits behind a frame not yet begun";
    EXPECT_EQ(0x81, p[3]);
    m_pEngine->OnWritten(7);
    p = m_pEngine->GetOutput(nLen);
    ASSERT_EQ(byFrame.size(), static_cast<size_t>(nLen));
    m_pEngine->OnWritten(3);   // partly on the line
    Send(SetChannel(22), T0 + 1000);
    m_pEngine->Tick(T0 + 1000);
    p = m_pEngine->GetOutput(nLen);
    ASSERT_EQ(static_cast<int32_t>(byFrame.size()) - 3, nLen) << "the frame on the line is finished first";
    EXPECT_EQ(0, std::memcmp(p, byFrame.data() + 3, static_cast<size_t>(nLen)));
    m_pEngine->OnWritten(nLen);
    p = m_pEngine->GetOutput(nLen);
    ASSERT_EQ(7, nLen);
    EXPECT_EQ(0x80, p[3]);
    EXPECT_EQ(22, p[4]);
}

TEST_F(DongleSimEngine, BrokenCommandsAreLoggedNotAnsweredNorActedOn)
{
    m_opts.m_dRate = 1000;
    Make();
    CByteVec byBad = Cmd(g_byStartSniffFrame);
    byBad[5] = 0xFB;
    Send(byBad, T0);
    EXPECT_TRUE(Pump(T0 + 10000).empty());
    EXPECT_FALSE(m_pEngine->IsStreaming());
    EXPECT_EQ(1u, m_pEngine->GetStats().m_qwBadFrames);
    EXPECT_TRUE(m_events.Logged("bad checksum"));
}

TEST_F(DongleSimEngine, NoAckStillActsOnCommands)
{
    m_opts.m_bNoAck = true;
    m_opts.m_dRate = 1000;
    Make();
    Send(SetChannel(14), T0);
    Send(Cmd(g_byStartSniffFrame), T0);
    size_t nAcks = 0;
    const CByteVec by = RunClock(T0, T0 + 20000, 1000);
    EXPECT_GT(CountFrames(by, &nAcks), 10u);
    EXPECT_EQ(0u, nAcks);
    EXPECT_EQ(14, by[3]);
    EXPECT_EQ(2u, m_pEngine->GetStats().m_qwCommands);
}

TEST_F(DongleSimEngine, FrameLimitStopsStreamingButNotAnswers)
{
    m_opts.m_dRate = 1000;
    m_opts.m_nFrames = 7;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    EXPECT_EQ(7u, CountFrames(RunClock(T0, T0 + 100000, 500)));
    EXPECT_TRUE(m_events.Logged("frame limit of 7 reached"));
    EXPECT_EQ(7u, m_events.m_vecSent.size());
    EXPECT_FALSE(m_pEngine->WantsHangup());
    Send(Cmd(g_byStopSniffFrame), T0 + 100001);
    size_t nAcks = 0;
    EXPECT_EQ(0u, CountFrames(Pump(T0 + 100001), &nAcks));
    EXPECT_EQ(1u, nAcks);
}

TEST_F(DongleSimEngine, HangupAfterNFramesOnlyOnceTheyAreOut)
{
    m_opts.m_dRate = 1000;
    m_opts.m_nHangupAfter = 3;
    Make();
    EXPECT_FALSE(m_pEngine->WantsHangup());
    Send(Cmd(g_byStartSniffFrame), T0);
    Pump(T0);
    Pump(T0 + 1000);
    EXPECT_FALSE(m_pEngine->WantsHangup());
    m_pEngine->Tick(T0 + 2000);
    int32_t nLen = 0;
    m_pEngine->GetOutput(nLen);
    m_pEngine->OnWritten(nLen - 1);
    EXPECT_FALSE(m_pEngine->WantsHangup()) << "the third frame is not out yet";
    m_pEngine->OnWritten(1);
    EXPECT_TRUE(m_pEngine->WantsHangup());
    m_pEngine->Tick(T0 + 50000);
    EXPECT_FALSE(m_pEngine->HasOutput()) << "a fourth frame was queued";
}

TEST_F(DongleSimEngine, HangupAfterZeroHangsUpOnceSniffingStarts)
{
    m_opts.m_nHangupAfter = 0;
    Make();
    Send(SetChannel(11), T0);
    Pump(T0);
    EXPECT_FALSE(m_pEngine->WantsHangup());
    Send(Cmd(g_byStartSniffFrame), T0);
    EXPECT_TRUE(m_pEngine->WantsHangup());
}

TEST_F(DongleSimEngine, HostClosingDropsWhatWasNotSentAndNothingStaleFollows)
{
    m_opts.m_dRate = 1000;
    m_opts.m_nAckDelayMs = 5;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    m_pEngine->Tick(T0);
    int32_t nLen = 0;
    m_pEngine->GetOutput(nLen);
    m_pEngine->OnWritten(4);   // a frame half out
    Send(Cmd(g_byStopSniffFrame), T0 + 1);   // its ack is due later
    m_pEngine->OnHostClosed();
    EXPECT_FALSE(m_pEngine->HasOutput());
    EXPECT_EQ(0u, m_pEngine->GetStats().m_qwFrames) << "a frame cut off counts as sent";
    EXPECT_EQ(2u, m_pEngine->GetStats().m_qwAcksDropped);
    EXPECT_TRUE(Pump(T0 + 100000).empty()) << "answers queued for a host that has gone";

    // Nothing is made while nobody listens; a new host gets frames again.
    Send(Cmd(g_byStartSniffFrame), T0 + 100000);
    EXPECT_TRUE(Pump(T0 + 200000).empty());
    m_pEngine->OnHostOpened(T0 + 200000);
    EXPECT_GE(CountFrames(RunClock(T0 + 200000, T0 + 210000, 1000)), 10u);
    EXPECT_TRUE(m_events.Logged("host closed the port"));
    EXPECT_TRUE(m_events.Logged("host opened the port"));
}

TEST_F(DongleSimEngine, NextWakeIsNeverInThePastOnceTheDueWorkIsDone)
{
    m_opts.m_dRate = 333;   // a period that is not a whole number of microseconds
    m_opts.m_nAckDelayMs = 3;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    uint64_t t = T0;
    for (int i = 0; i < 200; ++i) {
        Pump(t);
        const uint64_t qwWake = m_pEngine->GetNextWakeUs();
        ASSERT_GT(qwWake, t) << "would spin at step " << i;
        t = qwWake;
    }
    EXPECT_GE(m_pEngine->GetStats().m_qwFrames, 190u);
}

TEST_F(DongleSimEngine, SentFramesAreTheMacFramesOnTheLine)
{
    m_opts.m_dRate = 1000;
    m_opts.m_bGarbage = true;
    Make();
    Send(Cmd(g_byStartSniffFrame), T0);
    const CByteVec by = RunClock(T0, T0 + 30000, 1000);
    ASSERT_GE(m_events.m_vecSent.size(), 30u);
    // Each recorded MAC frame sits in the stream inside a data frame.
    size_t nPos = 0;
    for (const CByteVec& mac : m_events.m_vecSent) {
        bool bFound = false;
        for (; nPos + 3 + mac.size() + 14 <= by.size(); ++nPos) {
            if (by[nPos] == 0 && by[nPos + 1] == 1 && by[nPos + 2] == mac.size() + 14 &&
                std::equal(mac.begin(), mac.end(), by.begin() + static_cast<long>(nPos + 10))) {
                bFound = true;
                nPos += 3 + mac.size() + 14;
                break;
            }
        }
        ASSERT_TRUE(bFound) << "a recorded frame was not on the line in order";
    }
    EXPECT_GT(m_pEngine->GetStats().m_qwGarbageBytes, 0u);
    EXPECT_EQ(by.size(), m_pEngine->GetStats().m_qwBytes);
}

}
