// "Save to .pcap file" through the model on the portable window loop: the
// simulated dongle on a pty published as COM200, the capture written to a
// real file and read back with libpcap, the settings in a real INI file.
#include "model_test_view.h"

#include "serial/uart_port.h"
#include "shell/model/dlg_ids.h"

#include <pcap/pcap.h>
#include <filesystem>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "common/child_process_posix.h"

namespace {

constexpr int32_t SIM_PORT = 200;
constexpr int32_t WAIT_MS = 10000;
constexpr int32_t LINK_TYPE_IEEE802_15_4 = 195;
const std::vector<std::string> SIM_DEVICES = { "Simulated dongle on /dev/pts/x (COM200)" };

struct CReadBack {
    int m_nLinkType = -1;
    std::vector<std::string> m_vecRecords;
    bool m_bComplete = false;   // read to the end without a cut record
    std::string m_strError;
};

CReadBack ReadPcapFile(const std::string& strPath)
{
    CReadBack out;
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(strPath.c_str(), szErr);
    if (pPcap == nullptr) {
        out.m_strError = szErr;
        return out;
    }
    out.m_nLinkType = pcap_datalink(pPcap);
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1)
        out.m_vecRecords.emplace_back(reinterpret_cast<const char*>(pData), pHdr->caplen);
    out.m_bComplete = nRc == PCAP_ERROR_BREAK;
    if (!out.m_bComplete)
        out.m_strError = pcap_geterr(pPcap);
    pcap_close(pPcap);
    return out;
}

std::string ReadText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& strPath)
{
    struct stat st {};
    return lstat(strPath.c_str(), &st) == 0;
}

} // namespace

class CModelFileTest : public CModelTest {
protected:
    void SetUp() override
    {
        CModelTest::SetUp();
        // Wireshark mode would launch this: it must never run here.
        ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/nonexistent/wireshark"), 1);
        WriteSetting("ComPort", SIM_PORT);
        WriteSetting("Channel", 20);
        m_devices.m_vecNames = SIM_DEVICES;
    }
    void TearDown() override
    {
        m_pModel.reset();
        if (m_sim.SendSignal(SIGTERM))
            m_sim.WaitExit(5000);
    }
    bool StartSim(const std::vector<std::string>& vecExtra)
    {
        std::vector<std::string> vecArgv { QM_DONGLE_SIM_PATH, "--port", std::to_string(SIM_PORT),
            "--ports-dir", PortsDir() };
        vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
        return m_sim.Spawn(vecArgv) && m_sim.WaitForText("ready ", WAIT_MS, false);
    }
    bool WaitLogged(const std::string& strPart)
    {
        return RunUntil([&] { return m_view.Logged(strPart); }, WAIT_MS);
    }
    bool WaitSimLog(const std::string& strPart)
    {
        return RunUntil([&] {
            m_sim.Drain();
            return m_sim.Err().find(strPart) != std::string::npos;
        }, WAIT_MS);
    }
    size_t CountLogged(const std::string& strPart) const
    {
        size_t nCount = 0;
        for (size_t nAt = m_view.m_strLog.find(strPart); nAt != std::string::npos;
             nAt = m_view.m_strLog.find(strPart, nAt + 1))
            ++nCount;
        return nCount;
    }
    // The model in file mode with strPath typed into the path box.
    CCaptureModel& FileModel(const std::string& strPath)
    {
        CCaptureModel& model = Model();
        model.OnModeChosen(ECaptureMode::PcapFile);
        model.OnPathTyped(strPath);
        return model;
    }

    CChildProcess m_sim;
};

// The file holds exactly the frames the dongle sent, with no pipe and no
// launch; ".pcap" is added to a name without one; switching the mode during
// the capture leaves it as it is; Stop says where and how many.
TEST_F(CModelFileTest, SavesExactlyTheFramesSent)
{
    const std::string strSent = m_dir / "sent.pcap";
    ASSERT_TRUE(StartSim({ "--rate", "300", "--frames", "40", "--sent-pcap", strSent }));
    const std::string strFile = m_dir / "capture.pcap";
    CCaptureModel& model = FileModel(m_dir / "capture");
    EXPECT_EQ(m_view.m_strPathLabel, "Specify path to .pcap file");

    model.OnStart();
    EXPECT_TRUE(m_view.m_bRunning);
    EXPECT_EQ(m_view.m_strPath, strFile);
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_EQ(m_view.Messages().at(0), "Saving the capture to " + strFile);
    // The radio buttons decide the next Start, not this one.
    model.OnModeChosen(ECaptureMode::Wireshark);
    EXPECT_EQ(m_view.m_strPath, "/nonexistent/wireshark");

    ASSERT_TRUE(WaitSimLog("frame limit of 40 reached")) << m_sim.Err();
    const CReadBack sent = ReadPcapFile(strSent);
    ASSERT_EQ(sent.m_vecRecords.size(), 40u) << sent.m_strError;
    uint64_t qwFrameBytes = 0;
    for (const std::string& strPayload : sent.m_vecRecords)
        qwFrameBytes += strPayload.size() + 17;
    ASSERT_TRUE(RunUntil([&] { return model.GetEngine().GetCounters().m_qwDataBytes == qwFrameBytes; }, WAIT_MS));

    model.OnStop();
    EXPECT_FALSE(m_view.m_bRunning);
    const std::vector<std::string> vecLog = m_view.Messages();
    ASSERT_EQ(vecLog.size(), 5u) << m_view.m_strLog;
    EXPECT_EQ(vecLog[2], "Stop ZigBee sniffing OK!");
    EXPECT_EQ(vecLog[3], "Frames delivered: 40; lost: 0 (receive overflow: 0, no reader: 0, reader too slow: 0); "
                         "noise bytes skipped: 0");
    EXPECT_EQ(vecLog[4], "Saved 40 frames to " + strFile);
    EXPECT_TRUE(WaitSimLog("sniffing stopped"));

    const CReadBack got = ReadPcapFile(strFile);
    EXPECT_TRUE(got.m_bComplete) << got.m_strError;
    EXPECT_EQ(got.m_nLinkType, LINK_TYPE_IEEE802_15_4);
    EXPECT_EQ(got.m_vecRecords, sent.m_vecRecords);
    EXPECT_FALSE(Exists(m_strRuntime + "/quillmark/wireshark0"));   // no pipe was made
    EXPECT_EQ(model.GetEngine().GetPipeState(), PIPE_STATE_CLOSED);
}

// A typed (or remembered) name of an existing file: Start asks; "no" keeps
// the file and opens nothing, "yes" replaces it. A file chosen in the save
// dialog (which asked) is replaced without asking, for one capture only.
// Exit during the capture closes the file whole.
TEST_F(CModelFileTest, ReplacesAnExistingFileOnlyWhenTheUserSaysSo)
{
    const std::string strFile = m_dir / "old.pcap";
    { std::ofstream(strFile) << "keep me"; }
    CCaptureModel& model = FileModel(strFile);
    m_view.m_bReplaceAnswer = false;
    model.OnStart();
    EXPECT_EQ(m_view.m_vecAskedToReplace, std::vector<std::string> { strFile });
    EXPECT_TRUE(m_view.Logged(strFile + " exists and was kept: the capture did not start")) << m_view.m_strLog;
    EXPECT_EQ(ReadText(strFile), "keep me");
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_EQ(model.GetEngine().IsPortOpen(), false);   // the port was never opened

    // Chosen in the save dialog: replaced without a question.
    ASSERT_TRUE(StartSim({ "--rate", "300" }));
    m_view.m_strSaveChoice = strFile;
    model.OnBrowse();
    EXPECT_EQ(m_view.m_nSaveChooserRuns, 1);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_EQ(m_view.m_vecAskedToReplace.size(), 1u);
    model.OnStop();
    EXPECT_TRUE(m_view.Logged("Saved ")) << m_view.m_strLog;

    // The next Start would replace that capture: it asks, and "yes" goes on.
    m_view.m_bReplaceAnswer = true;
    m_view.m_strLog.clear();
    model.OnStart();
    EXPECT_EQ(m_view.m_vecAskedToReplace.size(), 2u);
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    const int32_t nChanges = m_view.m_nRxChanges;
    ASSERT_TRUE(RunUntil([&] { return m_view.m_nRxChanges >= nChanges + 2; }, WAIT_MS));
    model.OnExit();
    EXPECT_EQ(m_view.m_vecEnds, std::vector<ECaptureEnd> { ECaptureEnd::Exit });
    const CReadBack got = ReadPcapFile(strFile);
    EXPECT_TRUE(got.m_bComplete) << got.m_strError;
    EXPECT_FALSE(got.m_vecRecords.empty());
    EXPECT_TRUE(WaitSimLog("sniffing stopped"));
}

// The mode and the file survive a restart of the model; the Wireshark mode
// keeps its own path, key and label.
TEST_F(CModelFileTest, ModeAndFileRememberedAcrossARestart)
{
    CCaptureModel& model = Model();
    EXPECT_EQ(m_view.m_eMode, ECaptureMode::Wireshark);
    EXPECT_EQ(m_view.m_strPathLabel, "Specify path to Wireshark");
    model.OnModeChosen(ECaptureMode::PcapFile);
    EXPECT_EQ(m_view.m_strPath, "");
    m_view.m_strSaveChoice = m_dir / "kept.pcap";
    model.OnBrowse();
    EXPECT_EQ(m_view.m_strPath, m_dir / "kept.pcap");
    EXPECT_EQ(m_view.m_nChooserRuns, 0);   // the Wireshark chooser is not asked
    EXPECT_NE(ReadIni().find("Mode=1"), std::string::npos) << ReadIni();

    m_pModel.reset();
    m_view = CFakeView();
    CCaptureModel& again = Model();
    EXPECT_EQ(again.GetMode(), ECaptureMode::PcapFile);
    EXPECT_EQ(m_view.m_eMode, ECaptureMode::PcapFile);
    EXPECT_EQ(m_view.m_strPathLabel, "Specify path to .pcap file");
    EXPECT_EQ(m_view.m_strPath, m_dir / "kept.pcap");

    again.OnModeChosen(ECaptureMode::Wireshark);
    EXPECT_EQ(m_view.m_strPath, "/nonexistent/wireshark");
    EXPECT_EQ(m_view.m_strPathLabel, "Specify path to Wireshark");
    char szFile[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "PcapFile", "", szFile);
    EXPECT_EQ(std::string(szFile), m_dir / "kept.pcap");
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Mode", -1), 0);
    EXPECT_TRUE(m_view.m_strLog.empty()) << m_view.m_strLog;
}

// Errors: no name, a file that cannot be made (the OS's reason logged), and a
// write that fails mid-capture (the file size limit standing in for a full
// disk), reported once and ended as Stop ends a capture.
TEST_F(CModelFileTest, OpenAndWriteFailuresEndTheCaptureWithTheReason)
{
    CCaptureModel& model = FileModel("");
    model.OnStart();
    EXPECT_TRUE(m_view.Logged("No .pcap file named")) << m_view.m_strLog;
    model.OnPathTyped(m_dir / "no-such-dir/x.pcap");
    model.OnStart();
    EXPECT_TRUE(m_view.Logged("Could not open " + (m_dir / "no-such-dir/x.pcap") + " for the capture: "))
        << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("No such file or directory")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_EQ(model.GetEngine().IsPortOpen(), false);

    ASSERT_TRUE(StartSim({ "--rate", "400" }));
    struct rlimit limOld {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limOld), 0);
    struct rlimit limSmall = limOld;
    limSmall.rlim_cur = 2048;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limSmall), 0);
    const std::string strFile = m_dir / "full.pcap";
    model.OnPathTyped(strFile);
    m_view.m_strLog.clear();
    model.OnStart();
    const bool bEnded = WaitLogged("Stop ZigBee sniffing OK!");
    setrlimit(RLIMIT_FSIZE, &limOld);
    ASSERT_TRUE(bEnded) << m_view.m_strLog;
    EXPECT_EQ(CountLogged("Writing the capture to " + strFile + " failed: "), 1u) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("Saved ")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("it ends where a write failed")) << m_view.m_strLog;
    // What the full file could not take is lost to the failed write, not to a missing reader.
    EXPECT_TRUE(m_view.Logged(", no reader: 0, reader too slow: 0, write failed: ")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_TRUE(WaitSimLog("sniffing stopped"));
    MsgLoopRunFor(3 * RX_LABEL_REFRESH_MS);
    EXPECT_EQ(CountLogged("Writing the capture to "), 1u);
}

// The dongle goes away mid-capture: the capture ends as Stop ends it, and the
// file holds whole the frames that came before.
TEST_F(CModelFileTest, DeviceGoneClosesTheFileWhole)
{
    const std::string strSent = m_dir / "sent.pcap";
    ASSERT_TRUE(StartSim({ "--rate", "300", "--hangup-after", "25", "--sent-pcap", strSent }));
    const std::string strFile = m_dir / "gone.pcap";
    CCaptureModel& model = FileModel(strFile);
    model.SetResumeWaitMs(0);   // ends at once instead of waiting for it to come back
    model.OnStart();
    ASSERT_TRUE(WaitLogged("went away (unplugged?): the capture ends")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    const std::vector<std::string> vecLog = m_view.Messages();
    const CReadBack got = ReadPcapFile(strFile);
    EXPECT_TRUE(got.m_bComplete) << got.m_strError;
    EXPECT_EQ(vecLog.back(), "Saved " + std::to_string(got.m_vecRecords.size()) + " frames to " + strFile)
        << m_view.m_strLog;
    // What the line dropped at the hang-up may be missing; nothing else.
    std::vector<std::string> vecSent = ReadPcapFile(strSent).m_vecRecords;
    ASSERT_FALSE(got.m_vecRecords.empty());
    ASSERT_LE(got.m_vecRecords.size(), vecSent.size());
    vecSent.resize(got.m_vecRecords.size());
    EXPECT_EQ(got.m_vecRecords, vecSent);
}

// The capture follows what the boxes show: a stored channel outside 11..26
// is shown, and captured, as 11; when the settings cannot be written, a
// channel picked all the same is the one the dongle is set to.
TEST_F(CModelFileTest, CapturesOnTheChannelTheBoxShows)
{
    WriteSetting("Channel", 5);
    ASSERT_TRUE(StartSim({ "--rate", "100" }));
    CCaptureModel& model = FileModel(m_dir / "shown");
    EXPECT_EQ(m_view.m_nChannel, 0);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_TRUE(WaitSimLog("sniffing on channel 11")) << m_sim.Err();
    model.OnStop();

    // A directory where the INI was: every write fails, the reads give defaults.
    ASSERT_EQ(std::remove(IniPath().c_str()), 0);
    ASSERT_EQ(mkdir(IniPath().c_str(), 0700), 0);
    model.OnChannelChosen(9);
    EXPECT_TRUE(m_view.Logged("\"Channel\"")) << m_view.m_strLog;   // told that it was not saved
    model.OnPathTyped(m_dir / "unsaved.pcap");
    m_view.m_strLog.clear();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_TRUE(WaitSimLog("sniffing on channel 20")) << m_sim.Err();
    model.OnStop();
    rmdir(IniPath().c_str());
}

// A typed name names one place: a relative one is taken in the current
// folder at Start and remembered whole, "~" is the home folder.
TEST_F(CModelFileTest, TypedNamesAreMadeAbsolute)
{
    ASSERT_TRUE(StartSim({ "--rate", "100" }));
    const std::string strHome = m_dir / "home";
    ASSERT_EQ(mkdir(strHome.c_str(), 0700), 0);
    const char* pszOldHome = std::getenv("HOME");
    const std::string strOldHome = pszOldHome != nullptr ? pszOldHome : "";
    const std::filesystem::path pathOldCwd = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    setenv("HOME", strHome.c_str(), 1);

    CCaptureModel& model = FileModel("relative");
    model.OnStart();
    const bool bStarted = WaitLogged("Start ZigBee sniffing OK!");
    model.OnStop();
    std::filesystem::current_path("/");   // elsewhere now: the name stays the same file
    model.OnPathTyped("~/tilde");
    model.OnStart();
    const bool bTilde = WaitLogged("Saving the capture to " + strHome + "/tilde.pcap");
    model.OnStop();

    std::filesystem::current_path(pathOldCwd);
    setenv("HOME", strOldHome.c_str(), 1);
    ASSERT_TRUE(bStarted) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("Saving the capture to " + (m_dir / "relative.pcap"))) << m_view.m_strLog;
    EXPECT_TRUE(Exists(m_dir / "relative.pcap"));
    EXPECT_TRUE(bTilde) << m_view.m_strLog;
    EXPECT_TRUE(Exists(strHome + "/tilde.pcap"));
    EXPECT_NE(ReadIni().find("PcapFile=" + strHome + "/tilde.pcap"), std::string::npos) << ReadIni();
}

// Reports that are true: a file deleted during the capture is said to be
// gone, not saved; a capture the dongle never answered leaves no file.
TEST_F(CModelFileTest, RemovedAndNeverStartedFilesAreToldAsSuch)
{
    ASSERT_TRUE(StartSim({ "--rate", "200" }));
    const std::string strFile = m_dir / "del.pcap";
    CCaptureModel& model = FileModel(strFile);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    ASSERT_TRUE(RunUntil([&] { return model.GetEngine().GetStats().m_qwFrames >= 5; }, WAIT_MS));
    ASSERT_EQ(std::remove(strFile.c_str()), 0);
    model.OnStop();
    EXPECT_TRUE(m_view.Logged(strFile + " was removed during the capture: the ")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.Logged("Saved ")) << m_view.m_strLog;
}

TEST_F(CModelFileTest, NoAnswerLeavesNoFile)
{
    ASSERT_TRUE(StartSim({ "--no-ack" }));
    const std::string strFile = m_dir / "noack.pcap";
    CCaptureModel& model = FileModel(strFile);
    model.SetAckTimeoutMs(100);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Stop ZigBee sniffing OK!")) << m_view.m_strLog;
    ASSERT_TRUE(WaitLogged("No file was written: the capture did not start")) << m_view.m_strLog;
    EXPECT_FALSE(Exists(strFile));
    EXPECT_FALSE(m_view.Logged("Saved ")) << m_view.m_strLog;
}

// A FIFO as the save target is refused at once, with or without a reader
// that never reads, so the window never waits in its open or its writes;
// the dongle is not touched and the FIFO never had a writer.
TEST_F(CModelFileTest, FifoAsTheSaveTargetIsRefusedAtOnce)
{
    ASSERT_TRUE(StartSim({ "--rate", "100" }));
    const std::string strFifo = m_dir / "f.pcap";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    CCaptureModel& model = FileModel(strFifo);
    const auto start = std::chrono::steady_clock::now();
    model.OnStart();
    // A reader that opens the FIFO and never reads.
    const int nReader = open(strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    model.OnStart();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_EQ(CountLogged("Could not open " + strFifo + " for the capture: not a regular file (a FIFO)"), 2u)
        << m_view.m_strLog;
    EXPECT_TRUE(m_view.m_vecAskedToReplace.empty());   // nothing to replace was asked about
    // A writer that came and went would leave a hang-up behind.
    pollfd pfd { nReader, POLLIN, 0 };
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << pfd.revents;
    close(nReader);
    MsgLoopRunFor(100);
    m_sim.Drain();
    EXPECT_EQ(m_sim.Err().find("cmd "), std::string::npos) << m_sim.Err();
}
