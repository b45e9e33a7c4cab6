// What the simulated radio hears must be what Wireshark recognises: the MAC
// frames taken off the line, written as Quillmark writes its capture, are
// dissected by tshark as IEEE 802.15.4 / ZigBee without a single complaint.
#include "dongle_sim_harness.h"

#include <set>

#include "common/command_output_posix.h"
#include "common/file_sink.h"
#include "pcap/pcap_stream.h"

namespace {

std::vector<std::vector<std::string>> RunTshark(const CTestTempDir& dir, const std::string& strFile,
                                                const std::string& strFields)
{
    const std::string strCmd = "tshark -r '" + strFile + "' -T fields -E separator=/t" + strFields + " 2>/dev/null";
    return SplitFields(CommandOutput(InPrivateHome(dir.Path(), strCmd)), '\t');
}

TEST(DongleSimTshark, GeneratedTrafficDissectsCleanly)
{
    ASSERT_EQ(0, std::system("command -v tshark >/dev/null 2>&1")) << "tshark is not installed";
    CTestTempDir dir;
    CSimProcess sim;
    ASSERT_FALSE(sim.StartReady({"--ports-dir", dir / "ports", "--rate", "2000", "--seed", "13"}).empty())
        << sim.Err();
    CHostLine line;
    ASSERT_TRUE(line.Open(dir / "ports/com200"));
    CByteVec by;
    ASSERT_TRUE(line.Write(SetChannelCommand(24)));
    ASSERT_TRUE(line.Write(StartCommand()));
    // More than one join cycle: every kind of frame the network makes.
    ASSERT_TRUE(ReadDataFrames(line, by, 120, 5000));
    ASSERT_TRUE(line.Write(StopCommand()));
    ASSERT_TRUE(ReadAcks(line, by, 3, 2000));
    const std::vector<CByteVec> vecFrames = DataFrames(SplitFrames(by));

    const std::string strFile = dir / "line.pcap";
    {
        CFileSink sink(strFile);
        CPcapStreamWriter writer(sink);
        ASSERT_TRUE(writer.WriteGlobalHeader());
        for (const CByteVec& fr : vecFrames) {
            const CByteVec mac = PayloadOf(fr);
            ASSERT_TRUE(writer.WriteRecord(mac.data(), static_cast<int32_t>(mac.size())));
        }
    }

    const auto vecRows = RunTshark(dir, strFile,
                                   " -e frame.number -e frame.protocols -e wpan.frame_type -e wpan.cmd"
                                   " -e _ws.malformed -e _ws.expert");
    ASSERT_EQ(vecFrames.size(), vecRows.size()) << "tshark did not read every record";
    std::set<std::string> setTypes;
    std::set<std::string> setCommands;
    std::set<std::string> setProtocols;
    for (const auto& row : vecRows) {
        ASSERT_EQ(6u, row.size());
        SCOPED_TRACE("frame " + row[0] + " " + row[1]);
        EXPECT_EQ(0u, row[1].rfind("wpan", 0)) << "not dissected as IEEE 802.15.4";
        EXPECT_FALSE(row[2].empty());
        EXPECT_TRUE(row[4].empty()) << "malformed";
        EXPECT_TRUE(row[5].empty()) << "expert info: " << row[5];
        setTypes.insert(row[2]);
        if (!row[3].empty())
            setCommands.insert(row[3]);
        setProtocols.insert(row[1]);
    }
    EXPECT_EQ((std::set<std::string>{"0x0000", "0x0001", "0x0002", "0x0003"}), setTypes);
    EXPECT_EQ((std::set<std::string>{"0x01", "0x02", "0x04", "0x07"}), setCommands);
    EXPECT_TRUE(setProtocols.count("wpan:zbee_beacon")) << "beacons not seen as ZigBee";
    EXPECT_TRUE(setProtocols.count("wpan:zbee_nwk:zbee_aps:zbee_zcl:zbee_zcl_general.onoff"));
    EXPECT_TRUE(setProtocols.count("wpan:zbee_nwk:zbee_aps:zbee_zcl"));

    // The ZCL content is what the network does: toggles and reports.
    const auto vecZcl = RunTshark(dir, strFile, " -Y zbee_zcl -e zbee_zcl.cmd.id -e zbee_zcl_general.onoff.cmd.srv_rx.id");
    std::set<std::string> setZcl;
    for (const auto& row : vecZcl)
        setZcl.insert(row[0] + "/" + (row.size() > 1 ? row[1] : ""));
    EXPECT_TRUE(setZcl.count("0x0a/")) << "no attribute report";
    EXPECT_TRUE(setZcl.count("0x0b/")) << "no default response";
    EXPECT_TRUE(setZcl.count("/0x02")) << "no On/Off toggle";
    ASSERT_TRUE(sim.Signal(SIGTERM));
}

}
