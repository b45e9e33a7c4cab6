// Finding and following the channel, through the windowless session against
// the simulated dongle holding two networks (channel 15: PAN 0x1a62, channel
// 20: PAN 0x7c01; every other channel silent): a survey names exactly those
// channels and PAN IDs; a hopping capture and a retuned one carry on every
// record the channel it was heard on; a dongle that goes away and comes back
// on the same port within the wait leaves one file with both parts.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/act_when.h"
#include "common/child_process_posix.h"
#include "common/temp_dir_posix.h"
#include "engine/capture_session.h"
#include "link/mac_header.h"
#include "serial/port_names.h"

namespace {

constexpr int WAIT_MS = 10000;
constexpr int32_t SIM_PORT = 203;
constexpr uint16_t PAN_15 = 0x1a62;
constexpr uint16_t PAN_20 = 0x7c01;
constexpr uint32_t SHORT_DWELL_MS = CHANNEL_DWELL_MIN_MS;

class CFollowReport : public ISessionReport {
public:
    void OnSessionLine(const std::string& strLine) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecLines.push_back(strLine);
    }
    void OnSessionProgress(const CSessionStats&) override {}
    void OnSessionChannel(int32_t nChannel) override { m_nChannel.store(nChannel); }
    void OnSessionDwellDone(const CSurveyChannel&) override { m_nDwells.fetch_add(1); }
    bool Has(const std::string& strText)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (const std::string& strLine : m_vecLines) {
            if (strLine.find(strText) != std::string::npos)
                return true;
        }
        return false;
    }
    std::string All()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        std::string str;
        for (const std::string& strLine : m_vecLines)
            str += strLine + "\n";
        return str;
    }
    std::atomic<int32_t> m_nChannel { 0 };
    std::atomic<int> m_nDwells { 0 };

private:
    std::mutex m_mtx;
    std::vector<std::string> m_vecLines;
};

// One record of a TAP capture: its stamp, the channel its header carries and
// the PAN its MAC header names (0 when none).
struct CTapRecord {
    uint64_t m_qwUsec;
    int32_t m_nChannel;
    uint16_t m_wPan;
};

uint16_t Le16(const u_char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The TAP header's channel TLV (type 3) and, after the header, the MAC
// frame's first PAN ID: the destination PAN when there is one, else the
// source PAN.
bool ParseTapRecord(const u_char* p, uint32_t nLen, CTapRecord& rec)
{
    if (nLen < 4)
        return false;
    const uint32_t nHeader = Le16(p + 2);
    rec.m_nChannel = 0;
    for (uint32_t nAt = 4; nAt + 4 <= nHeader && nHeader <= nLen;) {
        const uint16_t wType = Le16(p + nAt);
        const uint16_t wLen = Le16(p + nAt + 2);
        if (wType == 3 && wLen >= 2)
            rec.m_nChannel = Le16(p + nAt + 4);
        nAt += 4 + ((wLen + 3u) & ~3u);
    }
    const CMacHeader mac = ParseMacHeader(p + nHeader, static_cast<int32_t>(nLen - nHeader));
    rec.m_wPan = mac.m_bHasDstPan ? mac.m_wDstPan : (mac.m_bHasSrcPan ? mac.m_wSrcPan : 0);
    return rec.m_nChannel != 0;
}

// Every record of a TAP file; false when it is not one or does not read to its end.
bool ReadTapFile(const std::string& strPath, std::vector<CTapRecord>& vecOut)
{
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    if (pPcap == nullptr)
        return false;
    bool bOk = pcap_datalink(pPcap) == 283;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while (bOk && (nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        CTapRecord rec {};
        rec.m_qwUsec = static_cast<uint64_t>(pHdr->ts.tv_sec) * 1000000u + static_cast<uint64_t>(pHdr->ts.tv_usec);
        bOk = ParseTapRecord(pData, pHdr->caplen, rec) && pHdr->len == pHdr->caplen;
        vecOut.push_back(rec);
    }
    pcap_close(pPcap);
    return bOk && nRc == PCAP_ERROR_BREAK;
}

// The PANs of a network's own frames (broadcast PAN 0xffff and frames
// without one are any network's) must be the channel's network's.
void ExpectEveryPanMatchesItsChannel(const std::vector<CTapRecord>& vec)
{
    const std::map<int32_t, uint16_t> mapPan = { { 15, PAN_15 }, { 20, PAN_20 } };
    for (const CTapRecord& rec : vec) {
        ASSERT_EQ(mapPan.count(rec.m_nChannel), 1u) << "a frame on channel " << rec.m_nChannel;
        if (rec.m_wPan != 0 && rec.m_wPan != 0xFFFF) {
            EXPECT_EQ(rec.m_wPan, mapPan.at(rec.m_nChannel)) << "channel " << rec.m_nChannel;
        }
    }
}

class CChannelFollowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetPortsDirectory(m_dir.Path().c_str());
        ASSERT_TRUE(SpawnSim(m_sim));
        m_opts.m_target.m_nPort = SIM_PORT;
        m_opts.m_target.m_nChannel = 15;
        m_opts.m_strOutput = m_dir / "out.pcap";
        m_opts.m_dwAckTimeoutMs = 300;
    }
    bool SpawnSim(CChildProcess& sim)
    {
        std::vector<std::string> vecArgs = { QM_DONGLE_SIM_PATH, "--port", std::to_string(SIM_PORT), "--ports-dir",
            m_dir.Path(), "--rate", "200", "--network", "15:0x1a62", "--network", "20:0x7c01" };
        vecArgs.insert(vecArgs.end(), m_vecSimExtra.begin(), m_vecSimExtra.end());
        return sim.Spawn(vecArgs) && sim.WaitForText("ready ", WAIT_MS, false);
    }
    // Frames the file holds so far, seen through the session's counters.
    uint64_t Frames() { return m_session.GetStats().m_qwFrames; }

    std::vector<std::string> m_vecSimExtra;
    CTestTempDir m_dir { "qm-follow" };
    CChildProcess m_sim;
    CSessionOptions m_opts;
    CCaptureSession m_session;
    CFollowReport m_report;
};

class CNoStopAckTest : public CChannelFollowTest {
protected:
    CNoStopAckTest() { m_vecSimExtra = { "--no-stop-ack" }; }
};

} // namespace

TEST_F(CChannelFollowTest, SurveyNamesExactlyTheChannelsThatCarryNetworksAndTheirPanIds)
{
    m_opts.m_bSurvey = true;
    m_opts.m_plan.m_vecChannels = AllChannels();
    m_opts.m_plan.m_dwDwellMs = SHORT_DWELL_MS;
    m_opts.m_plan.m_dwSweeps = 2;
    EXPECT_EQ(m_session.Run(m_opts, m_report), ESessionEnd::Stopped) << m_report.All();
    EXPECT_TRUE(m_report.Has("Survey done: 2 sweeps"));
    EXPECT_EQ(m_report.m_nDwells.load(), 2 * CHANNEL_COUNT);
    EXPECT_NE(access((m_dir / "out.pcap").c_str(), F_OK), 0);   // a survey writes no file

    const std::vector<CSurveyChannel> vecSurvey = m_session.GetSurvey();
    ASSERT_EQ(vecSurvey.size(), static_cast<size_t>(CHANNEL_COUNT));
    for (const CSurveyChannel& ch : vecSurvey) {
        EXPECT_EQ(ch.m_dwVisits, 2u) << ch.m_nChannel;
        if (ch.m_nChannel == 15 || ch.m_nChannel == 20) {
            const uint16_t wPan = ch.m_nChannel == 15 ? PAN_15 : PAN_20;
            EXPECT_GT(ch.m_qwFrames, 0u) << ch.m_nChannel;
            // Beacon requests go to the broadcast PAN: only our network's own is named.
            EXPECT_EQ(ch.m_vecPanIds, (std::vector<uint16_t> { wPan })) << FormatSurveyLine(ch);
            EXPECT_NE(FormatSurveyLine(ch).find(ch.m_nChannel == 15 ? "0x1a62" : "0x7c01"), std::string::npos);
        } else {
            EXPECT_EQ(ch.m_qwFrames, 0u) << FormatSurveyLine(ch);
            EXPECT_TRUE(ch.m_vecPanIds.empty()) << FormatSurveyLine(ch);
        }
    }
}

// The dongle goes round 15, 12 (silent) and 20 until the frame limit: every
// record says where it was heard, and the PAN in it is that channel's network's.
TEST_F(CChannelFollowTest, HoppingCaptureCarriesTheChannelOnEveryRecord)
{
    m_opts.m_eLinkType = EPcapLinkType::Ieee802154Tap;
    m_opts.m_plan.m_vecChannels = { 15, 12, 20 };
    m_opts.m_plan.m_dwDwellMs = SHORT_DWELL_MS;
    m_opts.m_limits.m_qwMaxFrames = 150;
    EXPECT_EQ(m_session.Run(m_opts, m_report), ESessionEnd::LimitReached) << m_report.All();

    std::vector<CTapRecord> vec;
    ASSERT_TRUE(ReadTapFile(m_opts.m_strOutput, vec));
    ASSERT_EQ(vec.size(), 150u);
    ExpectEveryPanMatchesItsChannel(vec);
    std::set<int32_t> setChannels;
    size_t nChanges = 0;
    for (size_t i = 0; i < vec.size(); ++i) {
        setChannels.insert(vec[i].m_nChannel);
        nChanges += i > 0 && vec[i].m_nChannel != vec[i - 1].m_nChannel;
    }
    EXPECT_EQ(setChannels, (std::set<int32_t> { 15, 20 }));
    EXPECT_GE(nChanges, 2u);   // went round more than once
}

TEST_F(CChannelFollowTest, RetuneMovesTheCaptureAndLaterFramesComeFromTheNewChannel)
{
    m_opts.m_eLinkType = EPcapLinkType::Ieee802154Tap;
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    {
        CActWhen retune([this] { return Frames() >= 20; }, [this] { EXPECT_TRUE(m_session.RequestRetune(20)); });
        CActWhen stop([this] { return m_report.m_nChannel.load() == 20 && Frames() >= 60; },
                      [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped) << m_report.All();
    EXPECT_TRUE(m_report.Has("Sniffing on channel 20"));
    m_sim.Signal(SIGTERM, WAIT_MS);
    EXPECT_NE(m_sim.Err().find("channel 20: network 0x7c01"), std::string::npos) << m_sim.Err();

    std::vector<CTapRecord> vec;
    ASSERT_TRUE(ReadTapFile(m_opts.m_strOutput, vec));
    ExpectEveryPanMatchesItsChannel(vec);
    // 15 first, then 20 for good: nothing of the old channel after the new one.
    size_t nFirst20 = vec.size();
    for (size_t i = 0; i < vec.size(); ++i) {
        if (vec[i].m_nChannel == 20 && nFirst20 == vec.size())
            nFirst20 = i;
        if (nFirst20 != vec.size()) {
            EXPECT_EQ(vec[i].m_nChannel, 20) << "record " << i;
        }
    }
    EXPECT_GE(nFirst20, 20u);
    EXPECT_LT(nFirst20, vec.size());
}

// The retune's stop is never answered: told, and the capture ends as a start
// without an answer would.
TEST_F(CNoStopAckTest, RetuneWithoutAnAnswerEndsTheCapture)
{
    ESessionEnd eEnd = ESessionEnd::Stopped;
    {
        CActWhen retune([this] { return Frames() >= 10; }, [this] { m_session.RequestRetune(20); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::NoAnswer) << m_report.All();
    EXPECT_TRUE(m_report.Has("Retune to channel 20 FAIL!"));
    EXPECT_TRUE(m_report.Has("The dongle did not answer"));
}

// Unplugged and plugged in again: the same port comes back with a new
// device behind it; the capture goes on into the same file.
TEST_F(CChannelFollowTest, DongleBackWithinTheWaitLeavesOneFileWithBothParts)
{
    m_opts.m_dwResumeWaitMs = 5000;
    CChildProcess simAgain;
    ESessionEnd eEnd = ESessionEnd::NoAnswer;
    std::atomic<uint64_t> qwBefore { 0 };
    {
        CActWhen unplug([this] { return Frames() >= 20; }, [this, &qwBefore] {
            m_sim.Signal(SIGTERM, WAIT_MS);
            qwBefore.store(Frames());
        });
        CActWhen replug([this] { return m_report.Has("waiting up to 5 s"); },
                        [this, &simAgain] { EXPECT_TRUE(SpawnSim(simAgain)); });
        CActWhen stop([this, &qwBefore] { return m_report.Has("is back: capture resumed") && Frames() >= qwBefore.load() + 20; },
                      [this] { m_session.RequestStop(); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::Stopped) << m_report.All();
    EXPECT_TRUE(m_report.Has("The sniffing device on COM203 is back: capture resumed"));
    EXPECT_TRUE(m_report.Has("The dongle was away 1 time"));

    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(m_opts.m_strOutput.c_str(), szErr);
    ASSERT_NE(pPcap, nullptr) << szErr;
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    uint64_t qwRecords = 0;
    uint64_t qwLast = 0;
    uint64_t qwLongestGap = 0;
    while (pcap_next_ex(pPcap, &pHdr, &pData) == 1) {
        const uint64_t qwAt = static_cast<uint64_t>(pHdr->ts.tv_sec) * 1000000u + static_cast<uint64_t>(pHdr->ts.tv_usec);
        if (qwRecords > 0) {
            EXPECT_GE(qwAt, qwLast);
            qwLongestGap = std::max(qwLongestGap, qwAt - qwLast);
        }
        qwLast = qwAt;
        ++qwRecords;
    }
    pcap_close(pPcap);
    EXPECT_EQ(qwRecords, Frames());
    EXPECT_GE(qwRecords, qwBefore.load() + 20);
    EXPECT_GE(qwBefore.load(), 20u);
    EXPECT_GE(qwLongestGap, 100000u);   // the time away shows between the two parts
}

TEST_F(CChannelFollowTest, DongleNotBackWithinTheWaitEndsAsLineLost)
{
    m_opts.m_dwResumeWaitMs = 300;
    ESessionEnd eEnd = ESessionEnd::Stopped;
    {
        CActWhen unplug([this] { return Frames() >= 5; }, [this] { m_sim.Signal(SIGTERM, WAIT_MS); });
        eEnd = m_session.Run(m_opts, m_report);
    }
    EXPECT_EQ(eEnd, ESessionEnd::LineLost) << m_report.All();
    EXPECT_TRUE(m_report.Has("waiting up to 0.3 s for it to come back"));
    EXPECT_TRUE(m_report.Has("did not come back within 0.3 s: the capture ends"));
    EXPECT_FALSE(m_report.Has("The dongle was away"));
}
