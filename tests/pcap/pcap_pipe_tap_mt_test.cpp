// A TAP stream through the pipe link: the global header every client gets,
// the first and one that comes back after the first left, names link type
// 283 — the type taken at Open, whatever is set during the capture — and
// the records declare no FCS.
#include "pcap_pipe_fixture.h"

#include "pcap/pcap_stream.h"

namespace {

class CPipeTapTest : public CPipeTest {
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
    void Send(size_t nRecords)
    {
        for (size_t i = 0; i < nRecords; ++i) {
            const std::vector<uint8_t> by = Payload(30, static_cast<uint8_t>(i));
            m_pipe.AddRecord(by.data(), static_cast<int32_t>(by.size()), CPcapTime{1710000000u, 0});
            m_pipe.FlushRecords();
        }
    }

    CPcapPipe m_pipe;
    CPipeEventLog m_events;
};

TEST_F(CPipeTapTest, EveryClientGetsTheLinkTypeTakenAtOpen)
{
    const std::string strFirst = Path("first.pcap"), strSecond = Path("second.pcap");
    m_pipe.SetLinkType(EPcapLinkType::Ieee802154Tap);
    const std::string strLauncher = FakeLauncher("ws.sh", "--records 3 --out '" + strFirst + "'");
    ASSERT_EQ(m_pipe.Open(strLauncher.c_str()), 1);
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CONNECTED));
    m_pipe.SetLinkType(EPcapLinkType::Ieee802154WithFcs);   // for the next Open only
    // The pipe sees the client gone at a write: records until it does.
    bool bGone = false;
    for (int i = 0; i < 2000 && !bGone; ++i) {
        Send(1);
        bGone = m_events.WaitFor(PIPE_EVENT_CLIENT_GONE, 5);
    }
    ASSERT_TRUE(bGone);
    ASSERT_GT(SpawnFake({"--records", "2", "--out", strSecond, "-i", m_strFifo, "-k"}), 0);
    ASSERT_TRUE(m_events.WaitFor(PIPE_EVENT_CLIENT_BACK));
    Send(2);

    for (const std::string& strFile : {strFirst, strSecond}) {
        SCOPED_TRACE(strFile);
        ASSERT_TRUE(WaitForFile(strFile));
        const SCapture cap = ReadCapture(strFile);
        EXPECT_EQ(cap.m_nLinkType, 283);
        ASSERT_FALSE(cap.m_records.empty());
        for (const SRecord& rec : cap.m_records)
            EXPECT_EQ(rec.m_dwOrigLen, rec.m_dwCapLen);
    }
}

} // namespace
