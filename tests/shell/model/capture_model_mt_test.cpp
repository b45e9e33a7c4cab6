// The model driving a real capture without Qt: the simulated dongle on a pty
// published as COM200, the pipe link to a stand-in Wireshark (a shell script
// that copies the FIFO to a file), the pipe's events posted from its writer
// thread to the model's window, the Rx timer, and the window loop turned by
// the test.
#include "model_sim_test.h"

// Start, frames counted on the Rx text by the timer, Stop with its summary.
TEST_F(CModelCaptureTest, StartCountsAndStops)
{
    ASSERT_TRUE(StartSim({ "--rate", "200" }));
    CCaptureModel& model = Model();
    ASSERT_EQ(model.GetSelectedDevice(), 0);
    model.OnStart();
    EXPECT_TRUE(m_view.m_bRunning);
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::WaitReader);
    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_EQ(m_view.Messages()[0].rfind("Waiting up to 25 s for Wireshark to read from " + m_strRuntime, 0), 0u)
        << m_view.m_strLog;

    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Capturing);
    EXPECT_TRUE(model.IsRunning());
    // Two changes of the count at least: the timer runs.
    const int32_t nChanges = m_view.m_nRxChanges;
    ASSERT_TRUE(RunUntil([&] { return m_view.m_nRxChanges >= nChanges + 2; }, WAIT_MS)) << m_view.m_strRx;
    EXPECT_EQ(m_view.m_strRx.rfind("Rx : ", 0), 0u);

    model.OnStop();
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_FALSE(model.IsRunning());
    const std::vector<std::string> vecLog = m_view.Messages();
    ASSERT_GE(vecLog.size(), 4u);
    EXPECT_EQ(vecLog[vecLog.size() - 2], "Stop ZigBee sniffing OK!");
    EXPECT_EQ(vecLog.back().rfind("Frames delivered: ", 0), 0u);
    EXPECT_EQ(vecLog.back().find("Frames delivered: 0;"), std::string::npos) << vecLog.back();
    // Stopped: the Rx text stays as it is.
    const std::string strRx = m_view.m_strRx;
    MsgLoopRunFor(2 * RX_LABEL_REFRESH_MS);
    EXPECT_EQ(m_view.m_strRx, strRx);
    EXPECT_EQ(CaptureMagic(), PCAP_MAGIC_LE);

    // A second capture after the first.
    m_view.m_strLog.clear();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    model.OnExit();
    EXPECT_EQ(m_view.m_vecEnds, std::vector<ECaptureEnd> { ECaptureEnd::Exit });
    // Exit's stop command reached the dongle: the second stop it saw.
    EXPECT_TRUE(RunUntil([&] {
        m_sim.Drain();
        const std::string& strErr = m_sim.Err();
        const size_t nFirst = strErr.find("sniffing stopped");
        return nFirst != std::string::npos && strErr.find("sniffing stopped", nFirst + 1) != std::string::npos;
    }, WAIT_MS)) << m_sim.Err();
}

// Wireshark never opens the pipe: the capture ends, the reason is logged,
// the port was never opened.
TEST_F(CModelCaptureTest, WiresharkNeverConnects)
{
    setenv("QM_TEST_READER_MODE", "sleep", 1);
    CCaptureModel& model = Model();
    model.SetPipeTimeouts(300, 300);
    model.OnStart();
    EXPECT_TRUE(m_view.m_bRunning);
    ASSERT_TRUE(WaitLogged("Open Wireshark fail!")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("Wireshark did not connect to ")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Idle);
    EXPECT_EQ(model.GetEngine().IsPortOpen(), false);
}

// Stop during the wait: a connection that comes after it is not taken for
// the new capture, and nothing more is logged.
TEST_F(CModelCaptureTest, StopDuringTheWaitIgnoresLateEvents)
{
    ASSERT_TRUE(StartSim({}));
    setenv("QM_TEST_READER_MODE", "sleep", 1);
    CCaptureModel& model = Model();
    model.SetPipeTimeouts(200, 200);
    model.OnStart();
    model.OnStop();
    const std::string strLog = m_view.m_strLog;
    MsgLoopRunFor(600);
    EXPECT_EQ(m_view.m_strLog, strLog);
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Idle);
    EXPECT_FALSE(m_view.m_bRunning);
}

// No device behind COM200: the port cannot open, and the line says why.
TEST_F(CModelCaptureTest, PortMissing)
{
    CCaptureModel& model = Model();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Open UART Port FAIL!")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("No port COM200: nothing maps to it (no link " + PortsDir() + "/com200)"))
        << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
}

// The dongle does not acknowledge: a time-out line names the command, then Stop's lines.
TEST_F(CModelCaptureTest, NoAcknowledgement)
{
    ASSERT_TRUE(StartSim({ "--no-ack" }));
    CCaptureModel& model = Model();
    model.SetAckTimeoutMs(200);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing FAIL!")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("The dongle did not answer the set-channel command within 200 ms")) << m_view.m_strLog;
    // Stop's lines and the end of the run follow the failure on the same
    // event loop, not in the same turn.
    EXPECT_TRUE(RunUntil([&] { return m_view.Logged("Stop ZigBee sniffing OK!") && !m_view.m_bRunning; }, WAIT_MS))
        << m_view.m_strLog;
}

// The dongle stops but never answers the stop command: Stop's lines at once,
// then the missing answer is told and the port closed; Start works again.
TEST_F(CModelCaptureTest, StopWithoutAnswerIsToldAndThePortClosed)
{
    ASSERT_TRUE(StartSim({ "--rate", "200", "--no-stop-ack" }));
    CCaptureModel& model = Model();
    model.SetAckTimeoutMs(200);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    model.OnStop();
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_TRUE(m_view.Logged("Stop ZigBee sniffing OK!"));
    ASSERT_TRUE(WaitLogged("The dongle did not answer the stop command within 200 ms")) << m_view.m_strLog;
    ASSERT_TRUE(RunUntil([&] { return !model.GetEngine().IsPortOpen(); }, WAIT_MS));
    EXPECT_TRUE(m_sim.WaitForText("host closed the port", WAIT_MS)) << m_sim.Out();
    m_view.m_strLog.clear();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    model.OnStop();
}

// The device goes away mid-capture: the capture ends as Stop ends it and the
// port is closed once the controller's handler is done.
TEST_F(CModelCaptureTest, DeviceGoneEndsTheCapture)
{
    ASSERT_TRUE(StartSim({ "--rate", "200", "--hangup-after", "20" }));
    CCaptureModel& model = Model();
    model.SetResumeWaitMs(0);   // ends at once instead of waiting for it to come back
    model.OnStart();
    ASSERT_TRUE(WaitLogged("The sniffing device on COM200 went away (unplugged?): the capture ends"))
        << m_view.m_strLog;
    EXPECT_TRUE(m_view.Logged("Stop ZigBee sniffing OK!"));
    EXPECT_FALSE(m_view.m_bRunning);
    ASSERT_TRUE(RunUntil([&] { return !model.GetEngine().IsPortOpen(); }, WAIT_MS));
    // Start works again once the device is back.
    m_sim.WaitExit(WAIT_MS);
    CChildProcess simAgain;
    ASSERT_TRUE(simAgain.Spawn({ QM_DONGLE_SIM_PATH, "--port", std::to_string(SIM_PORT), "--ports-dir", PortsDir() })
        && simAgain.WaitForText("ready ", WAIT_MS, false));
    m_view.m_strLog.clear();
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;
    model.OnStop();
}

// The model with the system's discovery and watcher: what appears in and
// goes from the ports directory while it runs.
class CModelPlugTest : public CModelCaptureTest {
protected:
    static constexpr int32_t OTHER_PORT = 201;

    CCaptureModel& WatchedModel()
    {
        m_watch.SetSettleMs(20);
        m_pModel = std::make_unique<CCaptureModel>(m_view, m_systemDevices);
        const std::string strDir = m_dir.Path();
        m_pModel->SetSettingsPathSource([strDir] { InitSettingsPathFor(strDir.c_str()); });
        m_pModel->SetDeviceWatch(&m_watch);
        m_pModel->AttachLog();
        m_pModel->OnInitDialog();
        return *m_pModel;
    }
    // The port's index in the box as last shown; -1 when it is not there.
    int32_t Shown(int32_t nPort) const
    {
        for (size_t i = 0; i < m_view.m_vecDevices.size(); ++i) {
            if (m_view.m_vecDevices[i].m_nPort == nPort)
                return static_cast<int32_t>(i);
        }
        return -1;
    }
    int32_t SelectedPort() const
    {
        const int32_t nSel = m_view.m_nDeviceSel;
        return nSel >= 0 && static_cast<size_t>(nSel) < m_view.m_vecDevices.size()
            ? m_view.m_vecDevices[static_cast<size_t>(nSel)].m_nPort : 0;
    }
    bool WaitShown(int32_t nPort, bool bPresent)
    {
        return RunUntil([&] { return (Shown(nPort) >= 0) == bPresent; }, WAIT_MS);
    }

    CSystemDeviceSource m_systemDevices;
    CDeviceWatch m_watch;   // outlives the model, which stops it
};

// The ports directory does not exist yet when the model starts. The stored
// port is selected when it is plugged in, a capture on it goes on while
// another device comes, and the user's choice stays selected while the
// other one goes; a vanished selection comes back with the device. The
// list's changes write no setting.
TEST_F(CModelPlugTest, TheListFollowsThePlugsAndKeepsTheSelection)
{
    CCaptureModel& model = WatchedModel();
    EXPECT_LT(Shown(SIM_PORT), 0);
    EXPECT_EQ(m_view.m_nDeviceSel, -1);

    ASSERT_TRUE(StartSim({ "--rate", "200" }));
    ASSERT_TRUE(WaitShown(SIM_PORT, true));
    EXPECT_EQ(SelectedPort(), SIM_PORT);
    EXPECT_EQ(model.GetSelectedDevice(), m_view.m_nDeviceSel);
    model.OnStart();
    ASSERT_TRUE(WaitLogged("Start ZigBee sniffing OK!")) << m_view.m_strLog;

    auto pOther = std::make_unique<CComPty>();
    ASSERT_TRUE(pOther->Publish(PortsDir(), OTHER_PORT));
    ASSERT_TRUE(WaitShown(OTHER_PORT, true));
    EXPECT_EQ(m_view.m_vecDevices[static_cast<size_t>(Shown(OTHER_PORT))].m_strName,
        "Serial port on " + pOther->SlavePath() + " (COM201)");
    EXPECT_EQ(SelectedPort(), SIM_PORT);
    const std::string strLogRunning = m_view.m_strLog;
    const int32_t nRxChanges = m_view.m_nRxChanges;
    ASSERT_TRUE(RunUntil([&] { return m_view.m_nRxChanges >= nRxChanges + 2; }, WAIT_MS));
    EXPECT_EQ(model.GetCapturePhase(), ECapturePhase::Capturing);
    EXPECT_EQ(m_view.m_strLog, strLogRunning);
    model.OnStop();

    model.OnDeviceChosen(Shown(OTHER_PORT));
    const std::string strIni = ReadIni();
    ASSERT_TRUE(m_sim.Signal(SIGTERM));   // takes its link away
    ASSERT_TRUE(WaitShown(SIM_PORT, false));
    EXPECT_EQ(SelectedPort(), OTHER_PORT);
    EXPECT_EQ(model.GetSelectedDevice(), m_view.m_nDeviceSel);

    pOther.reset();
    ASSERT_TRUE(WaitShown(OTHER_PORT, false));
    EXPECT_EQ(m_view.m_nDeviceSel, -1);
    CComPty ptyBack;
    ASSERT_TRUE(ptyBack.Publish(PortsDir(), OTHER_PORT));
    ASSERT_TRUE(WaitShown(OTHER_PORT, true));
    EXPECT_EQ(SelectedPort(), OTHER_PORT);
    EXPECT_EQ(ReadIni(), strIni);
}
