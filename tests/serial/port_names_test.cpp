// Port numbers to device nodes and back: the fixed ranges, the comN links of the
// ports directory, and the "\\.\ComN" names the port opens.
#include <gtest/gtest.h>

#include <fstream>

#include "serial/port_names.h"
#include "serial_test_env.h"

TEST(PortNamesTest, FixedRangesMapBothWays)
{
    struct { int32_t m_nPort; const char* m_pszNode; } aCases[] = {
        { 1, "/dev/ttyS0" }, { 32, "/dev/ttyS31" }, { 33, "/dev/ttyUSB0" }, { 64, "/dev/ttyUSB31" },
        { 65, "/dev/ttyACM0" }, { 96, "/dev/ttyACM31" },
    };
    for (const auto& c : aCases) {
        EXPECT_EQ(FixedRangeDeviceNode(c.m_nPort), c.m_pszNode);
        EXPECT_EQ(ComPortFromDeviceNode(c.m_pszNode), c.m_nPort) << c.m_pszNode;
    }
    for (int32_t nPort : { 0, -1, 97, 200, 255, 256 })
        EXPECT_EQ(FixedRangeDeviceNode(nPort), "") << nPort;
}

TEST(PortNamesTest, ReverseMapRejectsNodesOutsideTheRanges)
{
    for (const char* pszNode : { "/dev/ttyS32", "/dev/ttyUSB32", "/dev/ttyACM99", "/dev/ttyS", "/dev/ttyS01",
             "/dev/ttyS1x", "/dev/ttyS-1", "/dev/pts/3", "/dev/ttyAMA0", "ttyS0", "", "/dev/ttyACM4294967297" }) {
        EXPECT_EQ(ComPortFromDeviceNode(pszNode), 0) << pszNode;
    }
    EXPECT_EQ(ComPortFromDeviceNode(nullptr), 0);
}

TEST(PortNamesTest, PortNamesParseWithoutRegardToCase)
{
    EXPECT_EQ(ComPortFromName("\\\\.\\Com7"), 7);
    EXPECT_EQ(ComPortFromName("\\\\.\\COM255"), 255);
    EXPECT_EQ(ComPortFromName("\\\\.\\cOm1"), 1);
    EXPECT_EQ(ComPortFromName("COM42"), 42);
    for (const char* pszName : { "\\\\.\\Com0", "\\\\.\\Com256", "\\\\.\\Com-1", "\\\\.\\Com", "\\\\.\\Com7x",
             "\\\\.\\Com07", "\\\\.\\Con7", "\\\\.\\pipe\\wireshark0", "", "\\\\.\\Com99999999999" }) {
        EXPECT_EQ(ComPortFromName(pszName), 0) << pszName;
    }
    EXPECT_EQ(ComPortFromName(nullptr), 0);
}

TEST(PortNamesTest, LinkNamesAreExactlyLowerCaseComAndTheNumber)
{
    EXPECT_EQ(ComPortFromLinkName("com200"), 200);
    EXPECT_EQ(ComPortFromLinkName("com1"), 1);
    EXPECT_EQ(ComPortFromLinkName("com255"), 255);
    // COM7 opens "com7", never one of these.
    for (const char* pszName : { "com256", "com0", "com007", "COM7", "Com7", "com12x", "com", "com1000", "com-1",
             "\\\\.\\com7", " com7", "" }) {
        EXPECT_EQ(ComPortFromLinkName(pszName), 0) << pszName;
    }
    EXPECT_EQ(ComPortFromLinkName(nullptr), 0);
}

TEST(PortNamesTest, LinkInThePortsDirectoryWinsOverTheFixedRange)
{
    CTestTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    SetPortsDirectory(dir.Path().c_str());
    EXPECT_STREQ(GetPortsDirectory(), dir.Path().c_str());

    EXPECT_EQ(ResolveComPort(65), "/dev/ttyACM0");
    ASSERT_TRUE(PublishComLink(dir.Path(), 65, pty.SlavePath()));
    EXPECT_EQ(ResolveComPort(65), pty.SlavePath());

    // Numbers above the fixed ranges exist only as links.
    EXPECT_EQ(ResolveComPort(200), "");
    ASSERT_TRUE(PublishComLink(dir.Path(), 200, pty.SlavePath()));
    EXPECT_EQ(ResolveComPort(200), pty.SlavePath());
    SetPortsDirectory("");
    EXPECT_EQ(ResolveComPort(200), "");
}

TEST(PortNamesTest, LinkWithoutTargetOrPlainFileIsIgnored)
{
    CTestTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    SetPortsDirectory(dir.Path().c_str());
    ASSERT_TRUE(PublishComLink(dir.Path(), 7, dir.Path() + "/gone"));
    EXPECT_EQ(ResolveComPort(7), "/dev/ttyS6");
    ASSERT_TRUE(PublishComLink(dir.Path(), 150, dir.Path() + "/gone"));
    EXPECT_EQ(ResolveComPort(150), "");
    std::ofstream(dir.Path() + "/com151") << "not a link";
    EXPECT_EQ(ResolveComPort(151), "");
    // Upper-case link names are not the convention and are not looked at.
    ASSERT_TRUE(PublishComLink(dir.Path(), 152, "/dev/null"));
    ASSERT_EQ(rename((dir.Path() + "/com152").c_str(), (dir.Path() + "/COM152").c_str()), 0);
    EXPECT_EQ(ResolveComPort(152), "");
    SetPortsDirectory("");
}

TEST(PortNamesTest, NumbersOutsideOneTo255ResolveToNothing)
{
    CTestTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    SetPortsDirectory(dir.Path().c_str());
    ASSERT_TRUE(PublishComLink(dir.Path(), 0, "/dev/null"));
    ASSERT_TRUE(PublishComLink(dir.Path(), 256, "/dev/null"));
    for (int32_t nPort : { 0, -1, 256, INT32_MIN, INT32_MAX })
        EXPECT_EQ(ResolveComPort(nPort), "") << nPort;
    SetPortsDirectory("");
}
