// What quillmark-extcap says to Wireshark and what it takes from it: the
// listing, link types and channel selector as text, the interface names that
// carry the port number, Wireshark's command lines with the options it adds,
// how a capture's end becomes an exit code and message, and the extcap folder
// read from `tshark -G folders`.
#include "shell/extcap/extcap_args.h"
#include "shell/extcap/extcap_capture.h"
#include "shell/extcap/extcap_install.h"
#include "shell/extcap/extcap_text.h"

#include <gtest/gtest.h>

#include "engine/channels.h"

#include <regex>
#include <string>
#include <vector>

#include "engine/channel_plan.h"

namespace {

bool ParseLine(std::vector<const char*> vecArgs, CExtcapArgs& args, std::string& strError)
{
    vecArgs.insert(vecArgs.begin(), "quillmark-extcap");
    return ParseExtcapArgs(static_cast<int>(vecArgs.size()), vecArgs.data(), args, strError);
}

} // namespace

TEST(CExtcapTextTest, ProtocolOutput)
{
    // Each interface is named by the port discovery found, whatever "COM" the
    // description holds.
    const std::vector<CDeviceItem> vecDevices = {
        { "CC2531 USB Dongle on /dev/ttyACM0 (COM65)", 65 },
        { "Serial port on /dev/ttyS9", 0 },              // no port number: cannot be opened, not listed
        { "Odd {name}\non /dev/pts/7 (COM200)", 200 },    // braces and line breaks would break the grammar
        { "Virtual COM Port on /dev/ttyACM1 (COM66)", 66 },
        { "COM3 adapter on /dev/ttyUSB0 (COM33)", 33 },
        { "Out of range (COM256)", 256 },
    };
    const std::string strListing = ExtcapInterfacesText("1.0.0.1", "see README", vecDevices, 20);
    EXPECT_EQ(strListing.substr(0, strListing.find("control {")),
        "extcap {version=1.0.0.1}{help=see README}{display=Quillmark 802.15.4 sniffer}\n"
        "interface {value=quillmark-COM65}{display=Quillmark 802.15.4 sniffer: CC2531 USB Dongle on /dev/ttyACM0 (COM65)}\n"
        "interface {value=quillmark-COM200}{display=Quillmark 802.15.4 sniffer: Odd (name) on /dev/pts/7 (COM200)}\n"
        "interface {value=quillmark-COM66}{display=Quillmark 802.15.4 sniffer: Virtual COM Port on /dev/ttyACM1 (COM66)}\n"
        "interface {value=quillmark-COM33}{display=Quillmark 802.15.4 sniffer: COM3 adapter on /dev/ttyUSB0 (COM33)}\n");
    // The toolbar: a channel selector (the stored channel its default) and the log.
    const std::string strNone = ExtcapInterfacesText("1", "h", {}, 20);
    EXPECT_EQ(strNone.substr(0, strNone.find('\n', strNone.find("control {number=1}")) + 1),
        "extcap {version=1}{help=h}{display=Quillmark 802.15.4 sniffer}\n"
        "control {number=0}{type=selector}{display=Channel}{tooltip=Retune the dongle while it captures}\n"
        "control {number=1}{type=button}{role=logger}{display=Log}{tooltip=What the capture said}\n");
    EXPECT_NE(strNone.find("value {control=0}{value=11}{display=11 (0x0B)  2.405 GHz}{default=false}\n"),
        std::string::npos);
    EXPECT_NE(strNone.find("value {control=0}{value=20}{display=20 (0x14)  2.450 GHz}{default=true}\n"),
        std::string::npos);
    EXPECT_NE(strNone.find("value {control=0}{value=26}"), std::string::npos);
    EXPECT_EQ(strListing.substr(strListing.find("control {")), strNone.substr(strNone.find("control {")));
    EXPECT_EQ(ExtcapDltsText(), "dlt {number=195}{name=IEEE802_15_4_WITHFCS}{display=IEEE 802.15.4 with FCS}\n");

    // The selector: 16 channels named as the dialog's box names them, one default.
    const std::string strConfig = ExtcapConfigText(15);
    EXPECT_EQ(strConfig.substr(0, strConfig.find('\n')),
        "arg {number=0}{call=--channel}{display=Channel}{tooltip=The IEEE 802.15.4 channel the dongle listens on}"
        "{type=selector}{required=true}");
    EXPECT_NE(strConfig.find("value {arg=0}{value=11}{display=11 (0x0B)  2.405 GHz}{default=false}\n"), std::string::npos);
    EXPECT_NE(strConfig.find("value {arg=0}{value=15}{display=15 (0x0F)  2.425 GHz}{default=true}\n"), std::string::npos);
    EXPECT_NE(strConfig.find("value {arg=0}{value=26}{display=26 (0x1A)  2.480 GHz}{default=false}\n"), std::string::npos);
    // Hopping, its dwell and the TAP flag (which Wireshark passes alone when ticked).
    EXPECT_NE(strConfig.find("arg {number=1}{call=--hop}{display=Hop over channels}"), std::string::npos);
    EXPECT_NE(strConfig.find("{type=string}{default=2}{validation=^[0-9]+([.][0-9]+)?$}\n"), std::string::npos);
    EXPECT_NE(strConfig.find("arg {number=3}{call=--tap}{display=Channel on every frame (IEEE 802.15.4 TAP)}"),
        std::string::npos);
    EXPECT_NE(strConfig.find("{type=boolflag}{default=false}\n"), std::string::npos);
    size_t nValues = 0;
    size_t nDefaults = 0;
    for (size_t n = strConfig.find("value {"); n != std::string::npos; n = strConfig.find("value {", n + 1))
        ++nValues;
    for (size_t n = strConfig.find("{default=true}"); n != std::string::npos; n = strConfig.find("{default=true}", n + 1))
        ++nDefaults;
    EXPECT_EQ(nValues, 16u);
    EXPECT_EQ(nDefaults, 1u);

    // A stored channel out of range offers the first, as the dialog shows it.
    EXPECT_EQ(StoredChannelOrFirst(26), 26);
    EXPECT_EQ(StoredChannelOrFirst(27), 11);
    EXPECT_EQ(StoredChannelOrFirst(10), 11);
    EXPECT_EQ(StoredChannelOrFirst(0), 11);
}

TEST(CExtcapTextTest, InterfaceNames)
{
    for (int32_t nPort = 1; nPort <= 255; ++nPort)
        ASSERT_EQ(PortFromExtcapInterface(ExtcapInterfaceName(nPort)), nPort);
    for (const char* pszOther : { "", "quillmark-COM", "quillmark-COM0", "quillmark-COM256", "quillmark-COM015",
             "quillmark-COM20x", "quillmark-COM+20", "quillmark-com20", "other-COM20", "quillmark-COM1000" })
        EXPECT_EQ(PortFromExtcapInterface(pszOther), 0) << pszOther;
}

TEST(CExtcapTextTest, WiresharkCommandLines)
{
    CExtcapArgs args;
    std::string strError;
    // 4.0's capture call, with the options a newer Wireshark adds and their values.
    ASSERT_TRUE(ParseLine({ "--capture", "--extcap-interface", "quillmark-COM200", "--fifo", "/tmp/wireshark_extcap_x",
                              "--extcap-capture-filter", "26 or wpan", "--extcap-control-in", "/tmp/in",
                              "--extcap-control-out", "/tmp/out", "--channel", "15", "--some-new-flag" },
        args, strError)) << strError;
    EXPECT_EQ(args.m_eAction, EExtcapAction::Capture);
    EXPECT_EQ(args.m_strInterface, "quillmark-COM200");
    EXPECT_EQ(args.m_strFifo, "/tmp/wireshark_extcap_x");
    EXPECT_EQ(args.m_nChannel, 15);

    ASSERT_TRUE(ParseLine({ "--extcap-interfaces", "--extcap-version=4.0" }, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::Interfaces);
    ASSERT_TRUE(ParseLine({ "--extcap-config", "--extcap-interface=quillmark-COM7" }, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::Config);
    EXPECT_EQ(args.m_strInterface, "quillmark-COM7");
    EXPECT_EQ(args.m_nChannel, 0);
    // A capture filter that Wireshark passes with its value is not taken for the action.
    ASSERT_TRUE(ParseLine({ "--extcap-capture-filter", "wpan", "--capture", "--fifo", "f" }, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::Capture);

    // The install folder is optional.
    ASSERT_TRUE(ParseLine({ "--install" }, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::Install);
    EXPECT_EQ(args.m_strDir, "");
    ASSERT_TRUE(ParseLine({ "--uninstall", "/opt/ws/extcap" }, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::Uninstall);
    EXPECT_EQ(args.m_strDir, "/opt/ws/extcap");
    ASSERT_TRUE(ParseLine({ "--install", "--extcap-version=4.0" }, args, strError));
    EXPECT_EQ(args.m_strDir, "");

    for (const char* pszChannel : { "10", "27", "", "15x", "015", "-15" }) {
        EXPECT_FALSE(ParseLine({ "--capture", "--channel", pszChannel }, args, strError)) << pszChannel;
        EXPECT_NE(strError.find("--channel"), std::string::npos);
    }
    ASSERT_TRUE(ParseLine({ "--capture", "--stop-wait", "250" }, args, strError));
    EXPECT_EQ(args.m_dwStopWaitMs, 250u);
    EXPECT_FALSE(ParseLine({ "--capture", "--stop-wait", "0" }, args, strError));
    EXPECT_FALSE(ParseLine({ "--capture", "--fifo" }, args, strError));
    EXPECT_EQ(strError, "--fifo needs a value");
    EXPECT_FALSE(ParseLine({ "--extcap-interfaces", "--capture" }, args, strError));
    ASSERT_TRUE(ParseLine({}, args, strError));
    EXPECT_EQ(args.m_eAction, EExtcapAction::None);
}

TEST(CExtcapTextTest, HopTapAndToolbarOptions)
{
    CExtcapArgs args;
    std::string strError;
    // As Wireshark 4.0 passes them: the flag alone, the toolbar's pipes.
    ASSERT_TRUE(ParseLine({ "--capture", "--extcap-interface", "quillmark-COM200", "--fifo", "f", "--channel", "15",
                              "--hop", "11-13,20", "--dwell", "0.5", "--tap", "--extcap-control-in", "/tmp/ci",
                              "--extcap-control-out", "/tmp/co" },
        args, strError)) << strError;
    EXPECT_EQ(args.m_vecHop, std::vector<int32_t>({ 11, 12, 13, 20 }));
    EXPECT_TRUE(args.Hops());
    EXPECT_EQ(args.m_dwDwellMs, 500u);
    EXPECT_TRUE(args.m_bTap);
    EXPECT_EQ(args.m_strControlIn, "/tmp/ci");
    EXPECT_EQ(args.m_strControlOut, "/tmp/co");

    // Defaults: no hop, 2 s, no TAP; a hop implies TAP; one channel is a capture on it.
    ASSERT_TRUE(ParseLine({ "--capture", "--channel", "15" }, args, strError));
    EXPECT_FALSE(args.Hops());
    EXPECT_EQ(args.m_dwDwellMs, 2000u);
    EXPECT_FALSE(args.m_bTap);
    ASSERT_TRUE(ParseLine({ "--capture", "--hop=11-26", "--tap", "false" }, args, strError));
    EXPECT_TRUE(args.m_bTap);
    ASSERT_TRUE(ParseLine({ "--capture", "--hop", "22", "--channel", "15" }, args, strError));
    EXPECT_FALSE(args.Hops());
    EXPECT_EQ(args.m_nChannel, 22);
    EXPECT_FALSE(args.m_bTap);
    ASSERT_TRUE(ParseLine({ "--capture", "--tap=true", "--hop", "" }, args, strError));
    EXPECT_TRUE(args.m_bTap);
    EXPECT_FALSE(args.Hops());

    const std::vector<std::vector<const char*>> vecBad = { { "--hop", "11,11" }, { "--hop", "10-12" },
        { "--hop", "11,,12" }, { "--dwell", "0.05" }, { "--dwell", "2s" }, { "--dwell", "" }, { "--tap", "yes" },
        { "--extcap-control-in" } };
    for (std::vector<const char*> vecArgs : vecBad) {
        const std::string strWhat = vecArgs[0];
        vecArgs.insert(vecArgs.begin(), "--capture");
        EXPECT_FALSE(ParseLine(vecArgs, args, strError)) << strWhat;
        EXPECT_NE(strError.find(strWhat), std::string::npos) << strError;
    }

    // The pattern Wireshark checks the hop list with takes what the capture
    // takes (std::regex reads it as Wireshark's PCRE does), and nothing for no hop.
    const std::string strConfig = ExtcapConfigText(15);
    const size_t nAt = strConfig.find("{validation=", strConfig.find("--hop")) + 12;
    const std::regex re(strConfig.substr(nAt, strConfig.find("}\n", nAt) - nAt));
    for (const char* pszGood : { "", "11-26", "11,15,20-22", " 11 , 15 ", "26-11", "15 - 18,25" }) {
        EXPECT_TRUE(std::regex_match(pszGood, re)) << pszGood;
        std::vector<int32_t> vec;
        EXPECT_TRUE(*pszGood == '\0' || ParseChannelList(pszGood, vec, strError)) << pszGood;
    }
    for (const char* pszBad : { "10", "27", "11,,12", "abc", "11-", "1 1", "11;12", "011" })
        EXPECT_FALSE(std::regex_match(pszBad, re)) << pszBad;
}

TEST(CExtcapTextTest, CaptureEnds)
{
    CSessionStats none;
    CSessionStats some;
    some.m_qwFrames = 3;
    std::string strErr;
    // Ends Wireshark asked for leave nothing on stderr, which it would show as an error.
    EXPECT_EQ(ExtcapCaptureResult(ESessionEnd::Stopped, none, EOsError::None, 200, "Stop OK!\n", strErr), 0);
    EXPECT_EQ(ExtcapCaptureResult(ESessionEnd::OutputFailed, some, EOsError::Gone, 200, "", strErr), 0);
    EXPECT_EQ(ExtcapCaptureResult(ESessionEnd::OutputFailed, none, EOsError::Gone, 200, "", strErr), 0);
    EXPECT_EQ(strErr, "");
    // A pipe that could not be opened, and the port's failures, are errors with the session's lines.
    EXPECT_EQ(ExtcapCaptureResult(ESessionEnd::OutputFailed, none, EOsError::NotFound, 200, "why\n", strErr), 1);
    EXPECT_NE(strErr.find("why\n"), std::string::npos);
    for (ESessionEnd eEnd : { ESessionEnd::PortFailed, ESessionEnd::NoAnswer, ESessionEnd::LineLost }) {
        strErr.clear();
        EXPECT_EQ(ExtcapCaptureResult(eEnd, some, EOsError::None, 200, "Open UART Port FAIL!\n", strErr), 1);
        EXPECT_NE(strErr.find("COM200"), std::string::npos);
        EXPECT_NE(strErr.find("Open UART Port FAIL!"), std::string::npos);
    }
}

TEST(CExtcapTextTest, InstallFolder)
{
    // Wireshark 4.0 (Debian 12): one global folder, which only root may change.
    const CExtcapFolders ws40 = ParseExtcapFolders(
        "Temp:                \t/tmp\n"
        "Personal Plugins:    \t/home/u/.local/lib/wireshark/plugins/4.0\n"
        "Extcap path:         \t/usr/lib/x86_64-linux-gnu/wireshark/extcap\n"
        "MaxMind database path:\t/usr/share/GeoIP\n");
    EXPECT_EQ(ws40.m_strPersonal, "");
    EXPECT_EQ(ws40.m_strGlobal, "/usr/lib/x86_64-linux-gnu/wireshark/extcap");
    CExtcapPlan plan = PlanExtcapFolder(ws40, false);
    EXPECT_EQ(plan.m_ePlan, EExtcapPlan::NeedsRoot);
    EXPECT_EQ(plan.m_strDir, ws40.m_strGlobal);
    EXPECT_EQ(PlanExtcapFolder(ws40, true).m_ePlan, EExtcapPlan::UseFolder);

    // Newer versions search a personal folder too: that one, root or not.
    const CExtcapFolders ws42 = ParseExtcapFolders(
        "Personal Extcap path:\t/home/u/.local/lib/wireshark/extcap\r\n"
        "Global Extcap path:  \t/usr/lib/x86_64-linux-gnu/wireshark/extcap\r\n");
    plan = PlanExtcapFolder(ws42, true);
    EXPECT_EQ(plan.m_ePlan, EExtcapPlan::UseFolder);
    EXPECT_EQ(plan.m_strDir, "/home/u/.local/lib/wireshark/extcap");

    EXPECT_EQ(PlanExtcapFolder(ParseExtcapFolders("tshark: something went wrong\n"), true).m_ePlan,
        EExtcapPlan::Unknown);

    // The command printed for root reads back as the same path.
    EXPECT_EQ(ShellQuoted("/usr/lib/x86_64-linux-gnu/wireshark/extcap"), "/usr/lib/x86_64-linux-gnu/wireshark/extcap");
    EXPECT_EQ(ShellQuoted("/home/a b/it's"), "'/home/a b/it'\\''s'");
}
