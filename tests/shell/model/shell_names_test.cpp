// Device names and log texts: the name test that takes a port number out of a
// friendly name, the ports directory's comN links as discovery finds them,
// the log text and its one line in the box, and the reason lines of a failed
// Start. No toolkit here.
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

TEST(CShellNamesTest, NameTest)
{
    const std::vector<CNameCase> vecCases = {
        { "usb serial", "USB Serial Port (COM7)", 7 },
        { "mixed-case Com first", "Communications Port (COM1)", 1 },
        { "COM inside a word", "XCOM Adapter (COM4)", 0 },
        { "COM0", "Port (COM0)", 0 },
        { "COM256", "Port (COM256)", 0 },
        { "COMx", "Port (COMx)", 0 },
        { "COM255", "Port (COM255)", 255 },
        { "lower case", "Port (com7)", 0 },
        { "blanks before digits", "COM  12", 12 },
        { "plus sign", "COM+9)", 9 },
        { "minus sign", "COM-3", 0 },
        { "huge number", "COM99999999999999999999", 0 },
        { "empty", "", 0 },
        { "our own pty", "Serial port on /dev/pts/7 (COM200)", 200 },
        { "too long for the buffer", std::string(260, 'a') + " (COM5)", 0 },
        { "longest that fits", std::string(255 - 7, 'a') + " (COM5)", 5 },
    };
    for (const CNameCase& nameCase : vecCases)
        EXPECT_EQ(PortNumberFromFriendlyName(nameCase.m_strName.c_str()), nameCase.m_nPort) << nameCase.m_pszWhat;
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

    std::vector<std::string> vecNames;
    ASSERT_TRUE(EnumeratePresentPorts(vecNames));
    const std::string strA = "Serial port on " + ptyA.SlavePath() + " (COM200)";
    const std::string strB = "Serial port on " + ptyB.SlavePath() + " (COM201)";
    int nA = 0;
    int nB = 0;
    for (const std::string& strName : vecNames) {
        nA += strName == strA;
        nB += strName == strB;
        EXPECT_FALSE(Contains(strName, "(COM202)")) << strName;
        EXPECT_FALSE(Contains(strName, "(COM203)")) << strName;
        EXPECT_FALSE(Contains(strName, "(COM0)")) << strName;
        // Everything listed passes the name test with the number it names.
        EXPECT_NE(PortNumberFromFriendlyName(strName.c_str()), 0) << strName;
    }
    EXPECT_EQ(nA, 1);
    EXPECT_EQ(nB, 1);

    // A port that goes away is not listed at the next scan.
    ptyB.Close();
    ASSERT_EQ(symlink("/nonexistent/qm-gone", (strDir + "/com201").c_str()), 0);
    ASSERT_TRUE(EnumeratePresentPorts(vecNames));
    for (const std::string& strName : vecNames)
        EXPECT_FALSE(Contains(strName, "(COM201)")) << strName;
    SetPortsDirectory("");
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
