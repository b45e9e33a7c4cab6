// quillmark-extcap with Wireshark's interface toolbar, against the simulated
// dongle holding a network on channel 11 and one on 20: the test plays
// Wireshark with real FIFOs (the capture's and the two control pipes, opened
// in Wireshark's order), and tshark reads what was captured.
//   - a Set of the selector retunes the dongle: the simulator logs the
//     set-channel, the frames after it are the other network's, and the
//     toolbar gets disable, then set, enable and the status line;
//   - a hopping capture is TAP (283) with each frame's channel right;
//   - control pipes nobody opens, one that is never read, one closed early
//     and garbage on it never hold or end the capture.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/child_process_posix.h"
#include "common/command_output_posix.h"
#include "common/temp_dir_posix.h"
#include "shell/extcap/extcap_control_msg.h"

namespace {

constexpr int WAIT_MS = 15000;
constexpr const char* PAN_11 = "0x1a62";
constexpr const char* PAN_20 = "0x7c01";

// What a non-blocking descriptor has now, appended to str.
void ReadAvailable(int fd, std::string& str)
{
    char by[65536];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, by, sizeof by)) > 0)
        str.append(by, static_cast<size_t>(n));
}

// The simulated dongle on COM200 in prog/ports and the extcap copied beside
// it (it finds its ports there), in a private folder.
class CExtcapRig {
public:
    CExtcapRig() : m_strProg(m_dir / "prog")
    {
        std::filesystem::create_directories(m_strProg + "/ports");
        std::filesystem::copy_file(QM_EXTCAP_PATH, m_strProg + "/quillmark-extcap");
    }
    ~CExtcapRig()
    {
        for (int fd : { m_fdCapture, m_fdControlOut, m_fdControlIn })
            if (fd >= 0)
                close(fd);
    }
    CExtcapRig(const CExtcapRig&) = delete;
    CExtcapRig& operator=(const CExtcapRig&) = delete;

    bool StartSim()
    {
        return m_sim.Spawn({ QM_DONGLE_SIM_PATH, "--ports-dir", m_strProg + "/ports", "--port", "200", "--rate",
                   "100", "--network", "11:0x1a62", "--network", "20:0x7c01" }) &&
               m_sim.WaitForText("ready", WAIT_MS, false);
    }
    std::string MakeFifo(const char* pszName) const
    {
        const std::string strPath = m_dir / pszName;
        return mkfifo(strPath.c_str(), 0600) == 0 ? strPath : std::string();
    }
    // The capture's FIFO is made and read as dumpcap does.
    bool StartExtcap(std::vector<std::string> vecArgs)
    {
        const std::string strFifo = MakeFifo("fifo");
        vecArgs.insert(vecArgs.begin(), { m_strProg + "/quillmark-extcap", "--capture", "--extcap-interface",
                                            "quillmark-COM200", "--fifo", strFifo });
        if (strFifo.empty() || !m_extcap.Spawn(vecArgs))
            return false;
        m_fdCapture = open(strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return m_fdCapture >= 0;
    }
    // Wireshark's order: its reader of our control-out first, then its
    // writer of our control-in (which the extcap opened already).
    bool OpenControl(const std::string& strIn, const std::string& strOut, bool bReadOut = true)
    {
        m_fdControlOut = open(strOut.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        m_bReadOut = bReadOut;
        return m_fdControlOut >= 0 && PumpUntil([&] {
            m_fdControlIn = open(strIn.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return m_fdControlIn >= 0;
        });
    }
    bool Send(uint8_t byControl, EControlCommand eCommand, const std::string& strPayload)
    {
        CControlMsg msg;
        msg.m_byControl = byControl;
        msg.m_eCommand = eCommand;
        msg.m_strPayload = strPayload;
        return SendBytes(EncodeControlMsg(msg));
    }
    bool SendBytes(const std::string& strBytes)
    {
        return write(m_fdControlIn, strBytes.data(), strBytes.size()) == static_cast<ssize_t>(strBytes.size());
    }
    void CloseControlIn()
    {
        close(m_fdControlIn);
        m_fdControlIn = -1;
    }
    // Reads what there is: the capture, the toolbar's messages, the logs.
    void Pump()
    {
        ReadAvailable(m_fdCapture, m_strCapture);
        if (m_bReadOut) {
            ReadAvailable(m_fdControlOut, m_strControl);
            CControlMsg msg;
            m_decoder.Feed(reinterpret_cast<const uint8_t*>(m_strControl.data()), m_strControl.size());
            m_strControl.clear();
            while (m_decoder.Next(msg))
                m_vecControl.push_back(std::to_string(msg.m_byControl) + ":" +
                                       std::to_string(static_cast<int>(msg.m_eCommand)) + ":" + msg.m_strPayload);
        }
        m_sim.Drain();
        m_extcap.Drain();
    }
    // Pumps until pred holds; false on time-out.
    template <typename Pred> bool PumpUntil(Pred pred)
    {
        const int64_t nEnd = TestNowMs() + WAIT_MS;
        for (;;) {
            Pump();
            if (pred())
                return true;
            if (TestNowMs() >= nEnd)
                return false;
            usleep(10000);
        }
    }
    // tshark's fields, one line per frame of what was captured so far.
    std::vector<std::string> Fields(const std::string& strFields)
    {
        const std::string strPath = m_dir / "capture.pcap";
        FILE* pFile = std::fopen(strPath.c_str(), "wb");
        if (pFile == nullptr)
            return {};
        std::fwrite(m_strCapture.data(), 1, m_strCapture.size(), pFile);
        std::fclose(pFile);
        return SplitLines(
            CommandOutput("tshark -r '" + strPath + "' -T fields -E separator=, " + strFields + " 2>/dev/null"));
    }
    size_t FramesWith(const std::string& strFields, const std::string& strValue)
    {
        size_t n = 0;
        for (const std::string& strLine : Fields(strFields))
            n += strLine == strValue ? 1 : 0;
        return n;
    }
    // Ends the extcap as Wireshark does (SIGTERM), reading the capture to its end.
    bool Stop() { return m_extcap.SendSignal(SIGTERM) && PumpUntil([this] { return m_extcap.HasEnded(); }); }
    bool Logged(const std::string& strText) { return m_sim.Err().find(strText) != std::string::npos; }
    const std::vector<std::string>& Control() const { return m_vecControl; }
    const std::string& Capture() const { return m_strCapture; }
    CChildProcess& Extcap() { return m_extcap; }

private:
    CTestTempDir m_dir { "qm-extcap-control" };
    const std::string m_strProg;
    CChildProcess m_sim;
    CChildProcess m_extcap;
    int m_fdCapture = -1;
    int m_fdControlOut = -1;
    int m_fdControlIn = -1;
    bool m_bReadOut = true;
    std::string m_strCapture;
    std::string m_strControl;
    CControlMsgDecoder m_decoder;
    std::vector<std::string> m_vecControl;
};

bool Has(const std::vector<std::string>& vec, const std::string& str, size_t nFrom = 0)
{
    for (size_t n = nFrom; n < vec.size(); ++n)
        if (vec[n] == str)
            return true;
    return false;
}

} // namespace

TEST(CExtcapControlTest, RetuneFromTheToolbar)
{
    CExtcapRig rig;
    ASSERT_TRUE(rig.StartSim());
    const std::string strIn = rig.MakeFifo("control-in");
    const std::string strOut = rig.MakeFifo("control-out");
    ASSERT_TRUE(rig.StartExtcap({ "--channel", "11", "--extcap-control-in", strIn, "--extcap-control-out", strOut }));
    // Wireshark opens the toolbar's pipes once the capture runs.
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.FramesWith("-e wpan.dst_pan", PAN_11) >= 10; }));
    ASSERT_TRUE(rig.OpenControl(strIn, strOut));
    ASSERT_TRUE(rig.Send(0, EControlCommand::Initialized, ""));
    ASSERT_TRUE(rig.PumpUntil([&] { return Has(rig.Control(), "0:6:Sniffing on channel 11"); }));
    EXPECT_TRUE(Has(rig.Control(), "1:2:Start ZigBee sniffing OK!\n"));   // the log, from before Wireshark came
    EXPECT_TRUE(Has(rig.Control(), "0:4:"));
    const size_t nBefore = rig.Control().size();

    ASSERT_TRUE(rig.Send(0, EControlCommand::Set, "20"));
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Logged("cmd set-channel 20"); })) << rig.Extcap().Err();
    ASSERT_TRUE(rig.PumpUntil([&] { return Has(rig.Control(), "0:6:Sniffing on channel 20", nBefore); }));
    // Disabled while the retune ran, then set, enabled and told.
    const std::vector<std::string> vecAfter(rig.Control().begin() + static_cast<long>(nBefore), rig.Control().end());
    ASSERT_FALSE(vecAfter.empty());
    EXPECT_EQ(vecAfter.front(), "0:5:");
    const std::vector<std::string> vecTail = { "0:1:20", "0:4:", "0:6:Sniffing on channel 20" };
    ASSERT_GE(vecAfter.size(), vecTail.size());
    EXPECT_EQ(std::vector<std::string>(vecAfter.end() - 3, vecAfter.end()), vecTail);

    // Then the other network's frames, and none of the first one after them.
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.FramesWith("-e wpan.dst_pan", PAN_20) >= 10; }));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Extcap().ExitCode(), 0);
    EXPECT_EQ(rig.Extcap().Err(), "");
    EXPECT_TRUE(rig.PumpUntil([&] { return rig.Logged("cmd stop"); }));
    bool bOn20 = false;
    size_t nCrossed = 0;
    for (const std::string& strPan : rig.Fields("-e wpan.dst_pan")) {
        bOn20 = bOn20 || strPan == PAN_20;
        nCrossed += (bOn20 && strPan == PAN_11) ? 1 : 0;
    }
    EXPECT_EQ(nCrossed, 0u);
}

TEST(CExtcapControlTest, HoppingIsTap)
{
    CExtcapRig rig;
    ASSERT_TRUE(rig.StartSim());
    ASSERT_TRUE(rig.StartExtcap({ "--hop", "11,20", "--dwell", "0.3" }));
    // Both channels, each frame with the channel it was heard on.
    ASSERT_TRUE(rig.PumpUntil([&] {
        return rig.FramesWith("-e wpan-tap.ch_num -e wpan.dst_pan", std::string("20,") + PAN_20) >= 5 &&
               rig.FramesWith("-e wpan-tap.ch_num -e wpan.dst_pan", std::string("11,") + PAN_11) >= 5;
    }));
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.Extcap().ExitCode(), 0);
    ASSERT_GE(rig.Capture().size(), 24u);
    EXPECT_EQ(static_cast<uint8_t>(rig.Capture()[20]) | (static_cast<uint8_t>(rig.Capture()[21]) << 8), 283);
    for (const std::string& strLine : rig.Fields("-e wpan-tap.ch_num -e wpan.dst_pan")) {
        EXPECT_TRUE(strLine.rfind("11,", 0) == 0 || strLine.rfind("20,", 0) == 0) << strLine;
        EXPECT_EQ(strLine.find(strLine.rfind("11,", 0) == 0 ? PAN_20 : PAN_11), std::string::npos) << strLine;
    }
}

TEST(CExtcapControlTest, ControlPipesNeverHoldTheCapture)
{
    // Nobody opens them (a toolbar Wireshark never shows), or Wireshark opens
    // our control-out and never reads it while a flood of picks asks for
    // answers, or closes its end early after garbage: frames flow all the
    // same and SIGTERM ends the capture at once, the dongle stopped.
    for (int nCase = 0; nCase < 3; ++nCase) {
        CExtcapRig rig;
        ASSERT_TRUE(rig.StartSim());
        const std::string strIn = rig.MakeFifo("control-in");
        const std::string strOut = rig.MakeFifo("control-out");
        ASSERT_TRUE(
            rig.StartExtcap({ "--channel", "11", "--extcap-control-in", strIn, "--extcap-control-out", strOut }));
        ASSERT_TRUE(rig.PumpUntil([&] { return rig.Capture().size() > 2000; })) << nCase;
        if (nCase == 1) {
            ASSERT_TRUE(rig.OpenControl(strIn, strOut, false));
            const std::string strPick = EncodeControlMsg(CControlMsg { 0, EControlCommand::Set, "27" });
            for (int n = 0; n < 3000; ++n)
                rig.SendBytes(strPick);   // each is answered with the selector's state
        } else if (nCase == 2) {
            ASSERT_TRUE(rig.OpenControl(strIn, strOut));
            ASSERT_TRUE(rig.SendBytes("garbage"));
            rig.CloseControlIn();
        }
        const size_t nHad = rig.Capture().size();
        ASSERT_TRUE(rig.PumpUntil([&] { return rig.Capture().size() > nHad + 2000; })) << nCase;
        const int64_t nStopAt = TestNowMs();
        ASSERT_TRUE(rig.Stop()) << nCase;
        EXPECT_LT(TestNowMs() - nStopAt, 2000) << nCase;
        EXPECT_EQ(rig.Extcap().ExitCode(), 0) << nCase;
        EXPECT_EQ(rig.Extcap().Err(), "") << nCase;
        EXPECT_TRUE(rig.PumpUntil([&] { return rig.Logged("cmd stop"); })) << nCase;
        EXPECT_FALSE(rig.Logged("cmd set-channel 27"));
    }
}
