// Wireshark's own capture engine as the client: tshark captures from the
// FIFO that CPcapPipe feeds, and its dissection of what it captured must show
// the IEEE 802.15.4 frames we sent, in order, none malformed.
#include "pcap_pipe_fixture.h"

static const char* const TSHARK = "/usr/bin/tshark";

// Real MAC frames as the dongle reports them: without the FCS.
static std::vector<std::vector<uint8_t>> MacFrames(uint8_t bySeq)
{
    return {
        // Beacon: short source 0x0000 in PAN 0x1234, beacon and superframe orders 15, no GTS
        // or pending addresses, ZigBee beacon payload.
        {0x00, 0x80, bySeq, 0x34, 0x12, 0x00, 0x00, 0xFF, 0xCF, 0x00, 0x00, 0x00, 0x22, 0x84, 0xEF, 0xBE, 0xAD,
         0xDE, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0x00},
        // Acknowledgement.
        {0x02, 0x00, static_cast<uint8_t>(bySeq + 1)},
        // MAC command, data request, 0x0001 -> 0x0000, acknowledgement requested.
        {0x63, 0x88, static_cast<uint8_t>(bySeq + 2), 0x34, 0x12, 0x00, 0x00, 0x01, 0x00, 0x04},
        // Data frame without payload, broadcast.
        {0x41, 0x88, static_cast<uint8_t>(bySeq + 3), 0x34, 0x12, 0xFF, 0xFF, 0x00, 0x00},
    };
}

static const int FRAME_TYPES[] = {0, 2, 3, 1};

struct SDissected {
    int m_nType;
    int m_nSeq;
    int m_nLen;
    int m_nCapLen;
    bool m_bMalformed;
    std::string m_strSeverity;
};

static std::vector<SDissected> Dissect(const std::string& strFile)
{
    std::vector<SDissected> v;
    const std::string strCmd = std::string(TSHARK) + " -r '" + strFile
                               + "' -T fields -E separator=, -E occurrence=f -e wpan.frame_type -e wpan.seq_no"
                                 " -e frame.len -e frame.cap_len -e _ws.malformed -e _ws.expert.severity"
                                 " 2>/dev/null";
    for (std::vector<std::string>& vField : SplitFields(CommandOutput(strCmd), ',')) {
        vField.resize(6);
        SDissected d;
        d.m_nType = vField[0].empty() ? -1 : static_cast<int>(strtol(vField[0].c_str(), nullptr, 0));
        d.m_nSeq = vField[1].empty() ? -1 : atoi(vField[1].c_str());
        d.m_nLen = atoi(vField[2].c_str());
        d.m_nCapLen = atoi(vField[3].c_str());
        d.m_bMalformed = !vField[4].empty();
        d.m_strSeverity = vField[5];
        v.push_back(d);
    }
    return v;
}

class CPipeTsharkTest : public CPipeTest {
protected:
    void SetUp() override
    {
        CPipeTest::SetUp();
        // tshark reads (and may write) its profile there.
        const std::string strConfig = Path("config");
        ASSERT_EQ(mkdir(strConfig.c_str(), 0700), 0);
        setenv("XDG_CONFIG_HOME", strConfig.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_CONFIG_HOME");
        CPipeTest::TearDown();
    }

    std::string TsharkLauncher(const std::string& strName, const std::string& strOut)
    {
        const std::string strScript = Path(strName);
        WriteFileText(strScript, "#!/bin/sh\nexec /bin/sh '" QM_TSHARK_CLIENT "' --out '" + strOut + "' \"$@\"\n", 0700);
        return strScript;
    }

    // One capture: tshark started through Open, the frames written, Stop.
    void Capture(CPcapPipe& pipe, const std::string& strOut, const std::vector<std::vector<uint8_t>>& vFrames)
    {
        const uint64_t qwBefore = pipe.GetStats().m_qwRecordsDelivered;
        ASSERT_EQ(pipe.Open(TsharkLauncher("tshark-" + std::to_string(++m_nRun) + ".sh", strOut).c_str()), 1)
            << ReadFileText(strOut + ".log");
        // Queued while tshark starts, delivered once it has opened the pipe.
        for (const auto& v : vFrames)
            pipe.WritePacket(v.data(), static_cast<int32_t>(v.size()));
        ASSERT_TRUE(WaitDelivered(pipe, qwBefore + vFrames.size(), 30000)) << ReadFileText(strOut + ".log");
        pipe.Disconnect();
        ASSERT_TRUE(WaitForFile(strOut, 30000)) << ReadFileText(strOut + ".log");
    }

    void ExpectDissected(const std::string& strOut, const std::vector<std::vector<uint8_t>>& vFrames)
    {
        const std::vector<SDissected> vGot = Dissect(strOut);
        ASSERT_EQ(vGot.size(), vFrames.size()) << ReadFileText(strOut + ".log");
        for (size_t i = 0; i < vGot.size(); ++i) {
            EXPECT_EQ(vGot[i].m_nType, FRAME_TYPES[i % 4]) << "frame " << i;
            EXPECT_EQ(vGot[i].m_nSeq, vFrames[i][2]) << "frame " << i;
            EXPECT_EQ(vGot[i].m_nCapLen, static_cast<int>(vFrames[i].size())) << "frame " << i;
            EXPECT_EQ(vGot[i].m_nLen, static_cast<int>(vFrames[i].size()) + 2) << "frame " << i;
            EXPECT_FALSE(vGot[i].m_bMalformed) << "frame " << i;
            EXPECT_NE(vGot[i].m_strSeverity, "8388608") << "frame " << i;   // PI_ERROR
        }
    }

    int m_nRun = 0;
};

TEST_F(CPipeTsharkTest, TsharkCapturesTheLiveStreamAsIeee802154AcrossStopAndStart)
{
    ASSERT_EQ(access(TSHARK, X_OK), 0) << "tshark is part of the test environment";
    CPcapPipe pipe;
    pipe.SetTimeouts(20000, 20000);   // tshark takes a second or two to open the pipe

    std::vector<std::vector<uint8_t>> vFirst;
    for (uint8_t bySeq = 10; bySeq < 50; bySeq += 4)
        for (auto& v : MacFrames(bySeq))
            vFirst.push_back(v);
    const std::string strFirst = Path("first.pcapng");
    Capture(pipe, strFirst, vFirst);
    ExpectDissected(strFirst, vFirst);

    // Stop then Start: a new tshark on the same pipe gets a stream of its own.
    std::vector<std::vector<uint8_t>> vSecond = MacFrames(200);
    const std::string strSecond = Path("second.pcapng");
    Capture(pipe, strSecond, vSecond);
    ExpectDissected(strSecond, vSecond);
}
