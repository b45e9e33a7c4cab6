// Device names and log texts: the name test that takes a port number out of a
// Windows friendly name, the ports directory's comN links as discovery finds
// them, the device box listing the port discovery found whatever "COM" the
// name holds, the log text and its one line in the box, and the reason lines
// of a failed Start. No toolkit here.
#include "base/os_error.h"
#include "pcap/pcap_pipe.h"
#include "serial/port_names.h"
#include "shell/model/activity_log.h"
#include "devices/device_discovery.h"
#include "engine/capture_texts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/pty_posix.h"
#include "common/temp_dir_posix.h"
#include "model_test_view.h"

namespace {

struct CNameCase {
    const char* m_pszWhat;
    std::string m_strName;
    int32_t m_nPort;
};

bool Contains(const std::string& str, const char* pszPart)
{
    return str.find(pszPart) != std::string::npos;
}

} // namespace

// The Windows fallback for a Ports device without a PortName: the last
// "COM" with digits after it. A "COM" of the description before it never
// decides, and an unusable last one is never passed over for an earlier one.
TEST(CShellNamesTest, NameTest)
{
    const std::vector<CNameCase> vecCases = {
        { "usb serial", "USB Serial Port (COM7)", 7 },
        { "mixed-case Com first", "Communications Port (COM1)", 1 },
        { "COM inside a word", "XCOM Adapter (COM4)", 4 },
        { "STM32 CDC", "STMicroelectronics Virtual COM Port (COM3)", 3 },
        { "STM32 CDC on Linux", "Virtual COM Port on /dev/ttyACM0 (COM65)", 65 },
        { "another port in the description", "COM3 adapter on /dev/ttyUSB0 (COM33)", 33 },
        { "last one out of range", "COM3 adapter (COM256)", 0 },
        { "last one COM0", "COM3 adapter (COM0)", 0 },
        { "leading zero", "COM3 adapter (COM07)", 0 },
        { "COMx", "Port (COMx)", 0 },
        { "COM255", "Port (COM255)", 255 },
        { "lower case", "Port (com7)", 0 },
        { "blanks before digits", "COM  12", 0 },
        { "plus sign", "COM+9)", 0 },
        { "minus sign", "COM-3", 0 },
        { "huge number", "COM99999999999999999999", 0 },
        { "printer port", "Printer Port (LPT1)", 0 },
        { "bare SERIALCOMM value", "COM12", 12 },
        { "empty", "", 0 },
        { "our own pty", "Serial port on /dev/pts/7 (COM200)", 200 },
        { "too long for the buffer", std::string(260, 'a') + " (COM5)", 0 },
        { "longest that fits", std::string(255 - 7, 'a') + " (COM5)", 5 },
    };
    for (const CNameCase& nameCase : vecCases)
        EXPECT_EQ(PortNumberFromFriendlyName(nameCase.m_strName.c_str()), nameCase.m_nPort) << nameCase.m_pszWhat;
    EXPECT_EQ(PortNumberFromFriendlyName(nullptr), 0);

    // A Ports device's registry port name decides; the friendly name only without one.
    EXPECT_EQ(PortNumberOfPortsDevice("COM3", "STMicroelectronics Virtual COM Port (COM3)"), 3);
    EXPECT_EQ(PortNumberOfPortsDevice("COM7", "Renamed by hand (COM9)"), 7);
    EXPECT_EQ(PortNumberOfPortsDevice("", "COM3 adapter (COM33)"), 33);
    EXPECT_EQ(PortNumberOfPortsDevice(nullptr, "Virtual COM Port (COM65)"), 65);
    EXPECT_EQ(PortNumberOfPortsDevice("COM0", "Virtual COM Port (COM65)"), 65);
    EXPECT_EQ(PortNumberOfPortsDevice("LPT1", "Printer Port (LPT1)"), 0);
    EXPECT_EQ(PortNumberOfPortsDevice("", ""), 0);
}

TEST(CShellNamesTest, LinkNames)
{
    EXPECT_EQ(PortNumberFromLinkName("com200"), 200);
    EXPECT_EQ(PortNumberFromLinkName("com1"), 1);
    EXPECT_EQ(PortNumberFromLinkName("com255"), 255);
    EXPECT_EQ(PortNumberFromLinkName("com256"), 0);
    EXPECT_EQ(PortNumberFromLinkName("com0"), 0);
    EXPECT_EQ(PortNumberFromLinkName("com007"), 0);   // COM7 opens "com7", never this
    EXPECT_EQ(PortNumberFromLinkName("COM7"), 0);
    EXPECT_EQ(PortNumberFromLinkName("com12x"), 0);
    EXPECT_EQ(PortNumberFromLinkName("com"), 0);
    EXPECT_EQ(PortNumberFromLinkName("com1000"), 0);
}

TEST(CShellNamesTest, FriendlyNamesRoundTrip)
{
    const std::string strPty = MakeFriendlyName("", "/dev/pts/7", 200);
    EXPECT_EQ(strPty, "Serial port on /dev/pts/7 (COM200)");
    EXPECT_EQ(PortNumberFromFriendlyName(strPty.c_str()), 200);
    const std::string strUsb = MakeFriendlyName("CC2531 USB Dongle", "/dev/ttyACM0", 65);
    EXPECT_EQ(strUsb, "CC2531 USB Dongle on /dev/ttyACM0 (COM65)");
    EXPECT_EQ(PortNumberFromFriendlyName(strUsb.c_str()), 65);
}

TEST(CShellNamesTest, PortsDirectoryLinks)
{
    CTestTempDir dir("qm-names");
    ASSERT_FALSE(dir.Path().empty());
    const std::string strDir = dir / "ports";
    CComPty ptyA;
    CComPty ptyB;
    ASSERT_TRUE(ptyA.Publish(strDir, 200));
    ASSERT_TRUE(ptyB.Publish(strDir, 201));
    // Nothing behind it, not a link, and names that map to no port.
    ASSERT_EQ(symlink("/nonexistent/qm-tty", (strDir + "/com202").c_str()), 0);
    const int hFile = open((strDir + "/com203").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(hFile, 0);
    close(hFile);
    ASSERT_EQ(symlink(ptyA.SlavePath().c_str(), (strDir + "/comx").c_str()), 0);
    ASSERT_EQ(symlink(ptyA.SlavePath().c_str(), (strDir + "/com0").c_str()), 0);
    SetPortsDirectory(strDir.c_str());

    std::vector<CDeviceItem> vecItems;
    ASSERT_TRUE(EnumeratePresentPorts(vecItems));
    const std::string strA = "Serial port on " + ptyA.SlavePath() + " (COM200)";
    const std::string strB = "Serial port on " + ptyB.SlavePath() + " (COM201)";
    int nA = 0;
    int nB = 0;
    for (const CDeviceItem& item : vecItems) {
        // Each link is listed with the port of its name, shown in its text.
        nA += item.m_strName == strA && item.m_nPort == 200;
        nB += item.m_strName == strB && item.m_nPort == 201;
        EXPECT_TRUE(item.m_nPort >= 1 && item.m_nPort <= 255) << item.m_strName;
        EXPECT_NE(item.m_nPort, 202) << item.m_strName;
        EXPECT_NE(item.m_nPort, 203) << item.m_strName;
        EXPECT_TRUE(Contains(item.m_strName, ("(COM" + std::to_string(item.m_nPort) + ")").c_str())) << item.m_strName;
    }
    EXPECT_EQ(nA, 1);
    EXPECT_EQ(nB, 1);

    // A port that goes away is not listed at the next scan.
    ptyB.Close();
    ASSERT_EQ(symlink("/nonexistent/qm-gone", (strDir + "/com201").c_str()), 0);
    ASSERT_TRUE(EnumeratePresentPorts(vecItems));
    for (const CDeviceItem& item : vecItems)
        EXPECT_NE(item.m_nPort, 201) << item.m_strName;
    SetPortsDirectory("");
}

using CDeviceBoxTest = CModelTest;

// The box lists each device with the port discovery gave it, "COM" in the
// description or not, and Start opens that port: COM33, not the COM3 of
// "COM3 adapter". The ports directory links each number to a plain file of its
// own, so the failed open names the file it tried.
TEST_F(CDeviceBoxTest, PortsComeFromDiscoveryNotFromTheNames)
{
    m_devices.m_vecItems = {
        { "Virtual COM Port on /dev/ttyACM0 (COM65)", 65 },
        { "COM3 adapter on /dev/ttyUSB0 (COM33)", 33 },
        { "Nothing to open it by (COM7)", 0 },
    };
    ASSERT_EQ(std::system(("mkdir -p '" + PortsDir() + "'").c_str()), 0);
    for (const int32_t nPort : { 3, 33, 65 }) {
        const std::string strTarget = m_dir / ("not-a-tty-" + std::to_string(nPort));
        const int hFile = open(strTarget.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(hFile, 0);
        close(hFile);
        ASSERT_EQ(symlink(strTarget.c_str(), (PortsDir() + "/com" + std::to_string(nPort)).c_str()), 0);
    }
    CCaptureModel& model = Model();
    const std::vector<CDeviceItem>& vecDevices = model.GetDevices();
    ASSERT_EQ(vecDevices.size(), 2u);
    EXPECT_EQ(vecDevices[0].m_strName, "COM3 adapter on /dev/ttyUSB0 (COM33)");
    EXPECT_EQ(vecDevices[0].m_nPort, 33);
    EXPECT_EQ(vecDevices[1].m_strName, "Virtual COM Port on /dev/ttyACM0 (COM65)");
    EXPECT_EQ(vecDevices[1].m_nPort, 65);
    ASSERT_EQ(m_view.m_vecDevices.size(), 2u);
    EXPECT_EQ(m_view.m_vecDevices[1].m_nPort, 65);

    model.OnModeChosen(ECaptureMode::PcapFile);
    model.OnPathTyped(m_dir / "out.pcap");
    for (size_t i = 0; i < vecDevices.size(); ++i) {
        const std::string strPort = std::to_string(vecDevices[i].m_nPort);
        model.OnDeviceChosen(static_cast<int32_t>(i));
        m_view.m_strLog.clear();
        model.OnStart();
        ASSERT_TRUE(RunUntil([&] { return m_view.Logged("not-a-tty-"); }, 5000)) << m_view.m_strLog;
        EXPECT_TRUE(m_view.Logged("not-a-tty-" + strPort + " (COM" + strPort + ")")) << m_view.m_strLog;
        EXPECT_FALSE(m_view.Logged("not-a-tty-3 ")) << m_view.m_strLog;
        EXPECT_FALSE(m_view.m_bRunning);
        EXPECT_EQ(ReadSettingInt(SETTINGS_INDEX, "ComPort", 0), vecDevices[i].m_nPort);
    }
}

TEST(CShellNamesTest, LogTextOneLinePerMessage)
{
    // Every message brings its own line feed and the log call adds one more:
    // the box still gets exactly one line, with the local time in front.
    const std::string strText = BuildLogText(0, 0, 5, "Stop ZigBee sniffing OK!\n");
    EXPECT_EQ(strText, "00:00:05  Stop ZigBee sniffing OK!\n\n");
    EXPECT_EQ(LogTextToBoxText(strText.c_str()), "00:00:05  Stop ZigBee sniffing OK!\n");
    EXPECT_EQ(BuildLogText(14, 7, 9, "x"), "14:07:09  x\n");
    // Without its own line feed the message is still a line of its own.
    EXPECT_EQ(LogTextToBoxText("23:59:59  no feed\n"), "23:59:59  no feed\n");
    // A lone line feed inside does not break the line; CR LF does.
    EXPECT_EQ(LogTextToBoxText("a\nb\rc\r\nd\n\n"), "a b c\nd\n");
    EXPECT_EQ(LogTextToBoxText(""), "");
    EXPECT_EQ(LogTextToBoxText("\n\n"), "\n");
}

// What the user needs to act on must be in the line; the reason is chosen by
// the error's kind, the system's text and number are shown.
TEST(CShellNamesTest, StartFailureReasons)
{
    const std::string strPerm = DescribePortFailure(65, false, OsErrorFromCode(EACCES), "/dev/ttyACM0", "/dev/ttyACM0", "/p");
    EXPECT_TRUE(Contains(strPerm, "/dev/ttyACM0")) << strPerm;
    EXPECT_TRUE(Contains(strPerm, "ermission denied")) << strPerm;
    EXPECT_TRUE(Contains(strPerm, "dialout")) << strPerm;
    // The kind decides, whatever number lies behind it.
    EXPECT_EQ(DescribePortFailure(65, false, OsErrorOfKind(EOsError::AccessDenied, "denied"), "/dev/ttyACM0",
                  "/dev/ttyACM0", "/p"), strPerm);

    const std::string strMissing = DescribePortFailure(7, false, OsErrorFromCode(ENOENT), "/dev/ttyS6", "/dev/ttyS6", "/cfg/ports");
    EXPECT_TRUE(Contains(strMissing, "COM7")) << strMissing;
    EXPECT_TRUE(Contains(strMissing, "/dev/ttyS6")) << strMissing;
    EXPECT_TRUE(Contains(strMissing, "/cfg/ports/com7")) << strMissing;

    const std::string strUnmapped = DescribePortFailure(150, false, COsError(), "", "", "/cfg/ports");
    EXPECT_TRUE(Contains(strUnmapped, "COM150")) << strUnmapped;
    EXPECT_TRUE(Contains(strUnmapped, "/cfg/ports/com150")) << strUnmapped;
    // Where ports are no links (Windows) no link is hinted at.
    EXPECT_EQ(DescribePortFailure(7, false, COsError(), "\\\\.\\COM7", "\\\\.\\COM7", ""),
              "No port COM7: nothing at \\\\.\\COM7");

    const std::string strBusy = DescribePortFailure(200, false, OsErrorFromCode(EBUSY), "/dev/pts/3", "/dev/pts/3", "/p");
    EXPECT_TRUE(Contains(strBusy, "in use")) << strBusy;

    // Any other kind: the system's own text and number.
    const COsError errIo = OsErrorFromCode(EIO);
    const std::string strIo = DescribePortFailure(9, false, errIo, "/dev/ttyS8", "/dev/ttyS8", "/p");
    EXPECT_TRUE(Contains(strIo, (errIo.m_strText + " (error " + std::to_string(EIO) + ")").c_str())) << strIo;

    EXPECT_TRUE(Contains(DescribeMissingProgram("wireshark"), "PATH"));
    EXPECT_TRUE(Contains(DescribeMissingProgram("/opt/ws/wireshark"), "/opt/ws/wireshark"));

    const std::string strLate = DescribePipeFailure("wireshark", PIPE_FAIL_CONNECT_TIMEOUT, COsError(),
        OsErrorFromCode(ETIMEDOUT), "/run/user/1/quillmark/wireshark0", PIPE_CONNECT_TIMEOUT_MS);
    EXPECT_TRUE(Contains(strLate, "within 25 s")) << strLate;
    EXPECT_TRUE(Contains(strLate, "/run/user/1/quillmark/wireshark0")) << strLate;
    const std::string strLaunch = DescribePipeFailure("/opt/ws/x", PIPE_FAIL_LAUNCH, OsErrorFromCode(ENOENT),
        COsError(), "/f", 1000);
    EXPECT_TRUE(Contains(strLaunch, "/opt/ws/x")) << strLaunch;
    EXPECT_TRUE(Contains(strLaunch, "error 2")) << strLaunch;
}

// A second Quillmark of the same user cannot feed the pipe the first one
// holds: that is what the user is told, not the lock's errno text.
TEST(CShellNamesTest, SecondInstanceIsToldQuillmarkIsRunning)
{
    CTestTempDir dir("qm-names-busy");
    const char* pszOld = std::getenv("XDG_RUNTIME_DIR");
    const std::string strOld = pszOld != nullptr ? pszOld : "";
    setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    CPcapPipe first;
    first.SetTimeouts(5000, 5000);
    ASSERT_EQ(first.Open("/bin/true"), 1);   // launched; it never connects
    CPcapPipe second;
    EXPECT_NE(second.Open("/bin/true"), 1);
    EXPECT_EQ(second.GetLastOpenFailure(), PIPE_FAIL_CREATE);
    const std::string strText = DescribePipeFailure("/bin/true", second.GetLastOpenFailure(),
        second.GetLastLaunchError(), second.GetLastPipeError(), second.GetPipePath(), 5000);
    EXPECT_EQ(strText.rfind("Quillmark is already running", 0), 0u) << strText;
    first.Disconnect();
    setenv("XDG_RUNTIME_DIR", strOld.c_str(), 1);
}
