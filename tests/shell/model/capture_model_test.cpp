// The dialog's logic without a toolkit and without a capture: the start-up
// sequence, the device and channel boxes and their settings, the path, the
// log's 200-line cycle, the Rx text, the status reports, the ways out.
#include "model_test_view.h"

#include "serial/port_names.h"
#include "shell/model/dlg_ids.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<std::string> DEVICE_NAMES = {
    "USB serial on /dev/ttyUSB0 (COM3)",
    "no port here",
    "acm on /dev/ttyACM0 (COM1)",
    "Bridge on /dev/ttyS4 (COM200)",
    "ACM on /dev/ttyACM1 (COM2)",
};

std::vector<std::string> Names(const std::vector<CDeviceItem>& vecItems)
{
    std::vector<std::string> vecNames;
    for (const CDeviceItem& item : vecItems)
        vecNames.push_back(item.m_strName + "=" + std::to_string(item.m_nPort));
    return vecNames;
}

} // namespace

using CModelStartUpTest = CModelTest;

// No settings file: sorted devices, COM1 preselected, channel 11, the default
// path; nothing written, nothing logged.
TEST_F(CModelStartUpTest, WithoutSettingsFile)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    CCaptureModel& model = Model();
    EXPECT_EQ(Names(m_view.m_vecDevices), (std::vector<std::string> {
        "acm on /dev/ttyACM0 (COM1)=1", "ACM on /dev/ttyACM1 (COM2)=2",
        "Bridge on /dev/ttyS4 (COM200)=200", "USB serial on /dev/ttyUSB0 (COM3)=3" }));
    EXPECT_EQ(m_view.m_nDeviceSel, 0);
    EXPECT_EQ(model.GetSelectedDevice(), 0);
    EXPECT_EQ(m_view.m_nChannel, 0);
    EXPECT_EQ(m_view.m_strPath, SETTINGS_DEFAULT_WIRESHARK);
    EXPECT_EQ(m_view.m_strRx, "");
    EXPECT_FALSE(m_view.m_bRunning);
    EXPECT_TRUE(m_view.m_strLog.empty());
    EXPECT_NE(access(IniPath().c_str(), F_OK), 0);
    // The ports directory sits beside the settings file.
    EXPECT_EQ(std::string(GetPortsDirectory()), PortsDir());
}

TEST_F(CModelStartUpTest, StoredPortAndChannelPreselected)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    WriteSetting("ComPort", 200);
    WriteSetting("Channel", 26);
    Model();
    EXPECT_EQ(m_view.m_nDeviceSel, 2);
    EXPECT_EQ(m_view.m_nChannel, 15);
}

// A channel the box does not hold shows the first; an absent port selects nothing.
TEST_F(CModelStartUpTest, OutOfRangeChannelAndAbsentPort)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    WriteSetting("ComPort", 150);
    WriteSetting("Channel", 27);
    const std::string strIni = ReadIni();
    CCaptureModel& model = Model();
    EXPECT_EQ(m_view.m_nDeviceSel, -1);
    EXPECT_EQ(m_view.m_nChannel, 0);
    // Refresh with the port still absent writes nothing; Start says why it cannot.
    model.OnRefreshDevices();
    EXPECT_EQ(ReadIni(), strIni);
    model.OnStart();
    EXPECT_EQ(m_view.Messages(), std::vector<std::string> { "No found sniffing device!" });
    EXPECT_FALSE(m_view.m_bRunning);
}

// A stored path longer than the setting holds is reported and not shown.
TEST_F(CModelStartUpTest, StoredPathCutIsReportedAndRefused)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    const std::string strLong = "/" + std::string(299, 'w');
    ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", strLong.c_str()), 1);
    CCaptureModel& model = Model();
    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_NE(m_view.Messages()[0].find("300 bytes"), std::string::npos) << m_view.m_strLog;
    EXPECT_EQ(m_view.m_strPath, "");
    m_view.m_strLog.clear();
    model.OnStart();
    EXPECT_EQ(m_view.Messages().at(0), "Open Wireshark fail!");
    EXPECT_FALSE(m_view.m_bRunning);
    // Typed over, the path is the user's again.
    model.OnPathTyped("qm-no-such-wireshark");
    m_view.m_strLog.clear();
    model.OnStart();
    ASSERT_EQ(m_view.Messages().size(), 2u);
    EXPECT_NE(m_view.Messages()[1].find("PATH"), std::string::npos) << m_view.m_strLog;
}

using CModelChoiceTest = CModelTest;

// The user's choices are written at once; refresh writes the selection back;
// indices outside the boxes change nothing.
TEST_F(CModelChoiceTest, ChoicesWrittenAtOnce)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    CCaptureModel& model = Model();
    model.OnChannelChosen(4);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "Channel", -1), 15);
    EXPECT_NE(ReadIni().find("Channel=15"), std::string::npos);
    model.OnDeviceChosen(3);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", -1), 3);

    const std::string strIni = ReadIni();
    model.OnChannelChosen(16);
    model.OnChannelChosen(-1);
    model.OnDeviceChosen(4);
    model.OnDeviceChosen(-1);
    EXPECT_EQ(ReadIni(), strIni);
    EXPECT_EQ(model.GetChannelIndex(), 4);
    EXPECT_EQ(model.GetSelectedDevice(), 3);

    // A device that went away: refresh selects the stored one if present and writes it back.
    WriteSetting("ComPort", 200);
    m_devices.m_vecNames.pop_back();
    model.OnRefreshDevices();
    EXPECT_EQ(m_view.m_vecDevices.size(), 3u);
    EXPECT_EQ(m_view.m_vecDevices.at(static_cast<size_t>(m_view.m_nDeviceSel)).m_nPort, 200);
    EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", -1), 200);
    EXPECT_TRUE(m_view.m_strLog.empty());
}

// A settings file that cannot be written: the choice stays, the log says so.
TEST_F(CModelChoiceTest, WriteFailureLogged)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    CCaptureModel& model = Model();
    ASSERT_EQ(mkdir(IniPath().c_str(), 0700), 0);   // a directory where the file would be
    model.OnChannelChosen(2);
    EXPECT_EQ(model.GetChannelIndex(), 2);
    EXPECT_TRUE(m_view.Logged("Could not save \"Channel\" in " + IniPath())) << m_view.m_strLog;
}

TEST_F(CModelChoiceTest, BrowseStoresChosenPath)
{
    CCaptureModel& model = Model();
    model.OnBrowse();   // cancelled
    EXPECT_EQ(m_view.m_nChooserRuns, 1);
    EXPECT_NE(access(IniPath().c_str(), F_OK), 0);

    m_view.m_strChoice = "/opt/ws tools/bin/wireshark";
    model.OnBrowse();
    EXPECT_EQ(m_view.m_strPath, m_view.m_strChoice);
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    EXPECT_EQ(std::string(szStored), m_view.m_strChoice);

    // Too long for the setting: refused with a line, nothing changes.
    const std::string strIni = ReadIni();
    m_view.m_strChoice = "/" + std::string(255, 'w');
    model.OnBrowse();
    EXPECT_EQ(ReadIni(), strIni);
    EXPECT_EQ(m_view.m_strPath, "/opt/ws tools/bin/wireshark");
    ASSERT_EQ(m_view.Messages().size(), 1u);
    EXPECT_NE(m_view.Messages()[0].find("not saved: it is 256 bytes long, at most 255 fit"), std::string::npos);
    // 255 bytes still fit.
    m_view.m_strChoice = "/" + std::string(254, 'w');
    model.OnBrowse();
    EXPECT_EQ(m_view.m_strPath, m_view.m_strChoice);
}

// A typed path is what Start uses and saves; an empty one is not saved.
TEST_F(CModelChoiceTest, TypedPathSavedAtStart)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    CCaptureModel& model = Model();
    model.OnPathTyped("/no/such/dir/wireshark");
    model.FillDeviceList();
    EXPECT_EQ(m_view.m_strPath, "/no/such/dir/wireshark");   // kept across a refresh of the boxes
    EXPECT_NE(access(IniPath().c_str(), F_OK), 0);
    model.OnStart();
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    EXPECT_EQ(std::string(szStored), "/no/such/dir/wireshark");
    EXPECT_EQ(m_view.Messages(), (std::vector<std::string> { "Open Wireshark fail!",
        "Wireshark program not found: /no/such/dir/wireshark" }));

    model.OnPathTyped("");
    m_view.m_strLog.clear();
    model.OnStart();
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    EXPECT_EQ(std::string(szStored), "/no/such/dir/wireshark");
    EXPECT_TRUE(m_view.Logged("No Wireshark path is set")) << m_view.m_strLog;
    // Longer than the setting holds: refused, not cut.
    model.OnPathTyped("/" + std::string(300, 'x'));
    m_view.m_strLog.clear();
    model.OnStart();
    EXPECT_TRUE(m_view.Logged("301 bytes long")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.m_bRunning);
}

using CModelLogTest = CModelTest;

// Texts 1..200 are appended, the 201st starts afresh; lines already in the
// box (the user may type there) count too.
TEST_F(CModelLogTest, CycleOf200Lines)
{
    Model();
    for (int i = 1; i <= 200; ++i)
        LogPrintf("line %d\n", i);
    EXPECT_EQ(m_view.m_nAppends, 200);
    EXPECT_EQ(m_view.Messages().back(), "line 200");
    LogPrintf("line %d\n", 201);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string> { "line 201" });
    for (int i = 202; i <= 400; ++i)
        LogPrintf("line %d", i);
    EXPECT_EQ(m_view.Messages().size(), 200u);
    LogPrintf("line 401\n");
    EXPECT_EQ(m_view.Messages(), std::vector<std::string> { "line 401" });
    EXPECT_EQ(m_view.m_nReplaces, 2);

    std::string strTyped;
    for (int i = 0; i < 199; ++i)
        strTyped += "typed\n";
    m_view.m_strLog = strTyped;   // 200 lines
    LogPrintf("after typing\n");
    EXPECT_EQ(m_view.m_nReplaces, 2);
    LogPrintf("fresh\n");
    EXPECT_EQ(m_view.Messages(), std::vector<std::string> { "fresh" });
}

// Without an attached model the log goes nowhere; a destroyed model is no
// longer the target.
TEST_F(CModelLogTest, TargetOnlyWhileAttached)
{
    {
        CCaptureModel model(m_view, m_devices);
        LogPrintf("nobody listens\n");
        EXPECT_TRUE(m_view.m_strLog.empty());
        model.AttachLog();
        LogPrintf("now %s\n", "shown");
    }
    EXPECT_EQ(GetLogTarget(), nullptr);
    LogPrintf("gone again\n");
    EXPECT_EQ(m_view.Messages(), std::vector<std::string> { "now shown" });
}

using CModelReportTest = CModelTest;

// The Rx text: blank until the first byte, then set only when the count changes.
TEST_F(CModelReportTest, RxTextChangesWithTheCount)
{
    CCaptureModel& model = Model();
    const int32_t nChanges = m_view.m_nRxChanges;
    model.RefreshRxLabel(0);
    EXPECT_EQ(m_view.m_strRx, "");
    model.RefreshRxLabel(100);
    EXPECT_EQ(m_view.m_strRx, "Rx : 100");
    model.RefreshRxLabel(100);
    model.RefreshRxLabel(uint64_t(1) << 40);
    EXPECT_EQ(m_view.m_strRx, "Rx : 1099511627776");
    EXPECT_EQ(m_view.m_nRxChanges, nChanges + 2);
    EXPECT_EQ(model.GetRxBytes(), int64_t(1) << 40);
}

// The controller's reports while no capture runs change nothing and log
// nothing (the reports of a running capture are tested with a dongle).
TEST_F(CModelReportTest, StatusWhileNotCapturing)
{
    CCaptureModel& model = Model();
    model.GetEngine().OnMessage(WM_RF_STATUS, 1, RF_STATUS_ACK);
    model.GetEngine().OnMessage(WM_RF_STATUS, RF_STATE_WAIT_STOP_ACK, RF_STATUS_TIMEOUT);
    model.GetEngine().OnMessage(WM_RF_LINE_LOST, 0, 0);
    EXPECT_TRUE(m_view.m_strLog.empty());
    EXPECT_FALSE(model.IsRunning());
}

using CModelLeaveTest = CModelTest;

TEST_F(CModelLeaveTest, AboutOnItsCommandsOnly)
{
    CCaptureModel& model = Model();
    model.OnSysCommand(IDM_ABOUTBOX);
    model.OnSysCommand(IDM_ABOUTBOX + 15);
    model.OnSysCommand(IDM_ABOUTBOX + 16);
    model.OnSysCommand(0xF060);
    EXPECT_EQ(m_view.m_nAboutShows, 2);
    EXPECT_TRUE(m_view.m_strLog.empty());
}

// Exit, Escape and a signal each end the dialog their way.
TEST_F(CModelLeaveTest, EachWayOutEndsTheDialog)
{
    Model().OnExit();
    Model().OnCancel();   // the steps are not run twice; the dialog is told again
    Model().OnExitSignal(15);
    EXPECT_EQ(m_view.m_vecEnds, (std::vector<ECaptureEnd> { ECaptureEnd::Exit, ECaptureEnd::Cancel,
        ECaptureEnd::Signal }));
    EXPECT_EQ(Model().GetCapturePhase(), ECapturePhase::Idle);
    EXPECT_TRUE(m_view.m_strLog.empty());
}

// Quillmark.ini linked to a file outside the settings folder: the choice
// stays, the file it leads to is not touched, and the log gives the store's
// reason rather than only the key and the path.
TEST_F(CModelChoiceTest, LinkOutOfTheSettingsFolderRefusedAndTold)
{
    m_devices.m_vecNames = DEVICE_NAMES;
    CCaptureModel& model = Model();
    CTestTempDir outside { "qm-model-outside" };
    ASSERT_FALSE(outside.Path().empty());
    const std::string strTarget = outside / "pw";
    const std::string strContent = "root:x:0:0:root:/root:/bin/bash\n";
    {
        std::ofstream out(strTarget, std::ios::binary);
        out << strContent;
    }
    ASSERT_EQ(symlink(strTarget.c_str(), IniPath().c_str()), 0);
    char* pszReal = realpath(strTarget.c_str(), nullptr);
    ASSERT_NE(pszReal, nullptr);
    const std::string strReal = pszReal;
    free(pszReal);
    model.OnChannelChosen(1);
    EXPECT_EQ(model.GetChannelIndex(), 1);
    EXPECT_EQ(ReadIni(), strContent);
    EXPECT_TRUE(m_view.Logged("Settings not saved: Quillmark.ini is a link to " + strReal + ", outside "
        + m_dir.Path() + "\n")) << m_view.m_strLog;
    EXPECT_FALSE(m_view.Logged("Could not save")) << m_view.m_strLog;
}
