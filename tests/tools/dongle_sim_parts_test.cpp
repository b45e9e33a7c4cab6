// The simulator's building blocks: command parsing, the frames it puts on the
// line and its command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame_protocol.h"
#include "tools/dongle_sim/sim_command_parser.h"
#include "tools/dongle_sim/sim_frame.h"
#include "tools/dongle_sim/sim_mac.h"
#include "tools/dongle_sim/sim_options.h"

namespace {

typedef std::vector<uint8_t> CByteVec;

CByteVec Cat(std::initializer_list<CByteVec> parts)
{
    CByteVec by;
    for (const CByteVec& p : parts)
        by.insert(by.end(), p.begin(), p.end());
    return by;
}

const CByteVec START(g_byStartSniffFrame, g_byStartSniffFrame + RF_CMD_LEN);
const CByteVec STOP(g_byStopSniffFrame, g_byStopSniffFrame + RF_CMD_LEN);
const CByteVec CH11(g_bySetChannelFrame11, g_bySetChannelFrame11 + RF_CMD_LEN);

std::vector<CSimParsed> ParseAll(const CByteVec& by, size_t nChunk = 0)
{
    CSimCommandParser parser;
    std::vector<CSimParsed> vec;
    if (nChunk == 0)
        nChunk = by.size();
    for (size_t i = 0; i < by.size(); i += nChunk)
        parser.Feed(by.data() + i, static_cast<int32_t>(std::min(nChunk, by.size() - i)), vec);
    return vec;
}

std::vector<CByteVec> CommandsOf(const std::vector<CSimParsed>& vec)
{
    std::vector<CByteVec> out;
    for (const CSimParsed& p : vec)
        if (p.m_nResult == SIM_PARSE_COMMAND)
            out.emplace_back(p.m_byFrame, p.m_byFrame + RF_CMD_LEN);
    return out;
}

TEST(DongleSimParser, FindsCommandsHoweverTheBytesArrive)
{
    const CByteVec by = Cat({CH11, START, STOP});
    for (size_t nChunk : {1u, 2u, 3u, 5u, 7u, 21u}) {
        SCOPED_TRACE(nChunk);
        const auto vecCmds = CommandsOf(ParseAll(by, nChunk));
        ASSERT_EQ(3u, vecCmds.size());
        EXPECT_EQ(CH11, vecCmds[0]);
        EXPECT_EQ(START, vecCmds[1]);
        EXPECT_EQ(STOP, vecCmds[2]);
    }
}

TEST(DongleSimParser, GarbageAndFalseHeadersNeverHideACommand)
{
    // A stray 00 01 04 right before a command: the first seven bytes look like
    // a command with a bad checksum; the real one behind them must still count.
    const CByteVec by = Cat({{0xFF, 0x00, 0x00, 0x01, 0x04}, START, {0x00, 0x01, 0x09, 0x01}, STOP, {0x00}});
    CSimCommandParser parser;
    std::vector<CSimParsed> vec;
    parser.Feed(by.data(), static_cast<int32_t>(by.size()), vec);
    const auto vecCmds = CommandsOf(vec);
    ASSERT_EQ(2u, vecCmds.size());
    EXPECT_EQ(START, vecCmds[0]);
    EXPECT_EQ(STOP, vecCmds[1]);
    EXPECT_EQ(1, parser.GetPending()) << "a trailing 00 may start the next command";
}

TEST(DongleSimParser, ClassifiesBrokenCommands)
{
    CByteVec byBadSum = START;
    byBadSum[4] = 0x02;
    CByteVec byBadEnd = STOP;
    byBadEnd[6] = 0x00;
    const auto vec = ParseAll(Cat({byBadSum, byBadEnd, CH11}));
    std::vector<int32_t> vecKinds;
    for (const CSimParsed& p : vec)
        vecKinds.push_back(p.m_nResult);
    EXPECT_EQ((std::vector<int32_t>{SIM_PARSE_BAD_CHECKSUM, SIM_PARSE_BAD_END, SIM_PARSE_COMMAND}), vecKinds);
}

TEST(DongleSimParser, DescribesCommandsForTheLog)
{
    char sz[64];
    CByteVec by = CH11;
    PatchSetChannelFrame(by.data(), 26);
    DescribeSimCommand(by.data(), sz, sizeof sz);
    EXPECT_STREQ("set-channel 26", sz);
    DescribeSimCommand(START.data(), sz, sizeof sz);
    EXPECT_STREQ("start", sz);
    DescribeSimCommand(STOP.data(), sz, sizeof sz);
    EXPECT_STREQ("stop", sz);
    const uint8_t byOdd[7] = {0, 1, 4, 0x07, 0x02, RfCommandChecksum(4, 7, 2), 4};
    DescribeSimCommand(byOdd, sz, sizeof sz);
    EXPECT_STREQ("unknown command 07 02", sz);
    FormatSimBytes(by.data(), RF_CMD_LEN, sz, 8);
    EXPECT_STREQ("00 01", sz) << "cut at whole bytes when the buffer is short";
}

TEST(DongleSimFrames, DataFrameCarriesTheMacFrameAtByteTen)
{
    for (int32_t nMac : {0, 3, 127, 241}) {
        SCOPED_TRACE(nMac);
        CByteVec mac(static_cast<size_t>(nMac));
        for (int32_t i = 0; i < nMac; ++i)
            mac[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + 1);
        uint8_t by[RF_FRAME_MAX_LEN + 8];
        std::memset(by, 0xEE, sizeof by);
        const CSimFrameMeta meta{17, 0x1234, 0xA1B2C3D4, -60, 200};
        const int32_t nTotal = BuildSimDataFrame(mac.data(), nMac, meta, by);
        ASSERT_EQ(nMac + 17, nTotal);
        EXPECT_EQ(0x00, by[0]);
        EXPECT_EQ(0x01, by[1]);
        EXPECT_EQ(nTotal - 3, by[2]);
        EXPECT_EQ(RfPayloadLength(nTotal), nMac);
        EXPECT_TRUE(std::equal(mac.begin(), mac.end(), by + RF_PAYLOAD_OFFSET));
        EXPECT_EQ(17, by[3]);
        EXPECT_EQ(0x34, by[4]);
        EXPECT_EQ(0x12, by[5]);
        EXPECT_EQ(0xD4, by[6]);
        EXPECT_EQ(0xA1, by[9]);
        const uint8_t* pTrail = by + nTotal - 7;
        const uint16_t wFcs = MacFcs(mac.data(), nMac);
        EXPECT_EQ(wFcs & 0xFF, pTrail[0]);
        EXPECT_EQ(wFcs >> 8, pTrail[1]);
        EXPECT_EQ(static_cast<uint8_t>(-60), pTrail[2]);
        EXPECT_EQ(200, pTrail[3]);
        EXPECT_EQ(0xEE, by[nTotal]) << "wrote past the frame";
    }
    CByteVec tooLong(242);
    uint8_t by[RF_FRAME_MAX_LEN];
    EXPECT_EQ(-1, BuildSimDataFrame(tooLong.data(), 242, CSimFrameMeta{11, 0, 0, 0, 0}, by));
}

TEST(DongleSimFrames, AckIsSevenBytesWithAValidChecksum)
{
    for (const CByteVec& cmd : {CH11, START, STOP}) {
        uint8_t by[7];
        BuildSimAckFrame(cmd.data(), by);
        EXPECT_TRUE(RfIsAckLength(by[2] + 3));
        EXPECT_EQ(7, by[2] + 3);
        EXPECT_EQ(0, static_cast<uint8_t>(by[2] + by[3] + by[4] + by[5]));
        EXPECT_EQ(cmd[3] | 0x80, by[3]);
        EXPECT_EQ(cmd[4], by[4]);
    }
}

TEST(DongleSimFrames, GarbageNeverFormsTheSyncPair)
{
    CSimRandom rng(77);
    size_t nZeros = 0;
    for (int i = 0; i < 20000; ++i) {
        uint8_t by[SIM_GARBAGE_MAX + 1];
        by[0] = static_cast<uint8_t>(i % 3 == 0 ? 0x00 : rng.Next());   // the byte sent before
        const int32_t n = BuildSimGarbage(rng, by[0], by + 1);
        ASSERT_GE(n, 1);
        ASSERT_LE(n, SIM_GARBAGE_MAX);
        for (int32_t k = 0; k < n; ++k) {
            ASSERT_FALSE(by[k] == 0x00 && by[k + 1] == 0x01) << "sync pair at " << k;
            nZeros += by[k + 1] == 0 ? 1 : 0;
        }
    }
    EXPECT_GT(nZeros, 10000u) << "garbage should tempt readers with lone 00 bytes";
}

TEST(DongleSimFrames, FcsIsTheItuCrcOf802154)
{
    const char* psz = "123456789";
    EXPECT_EQ(0x2189, MacFcs(reinterpret_cast<const uint8_t*>(psz), 9));   // CRC-16/KERMIT check value
    const uint8_t byAck[3] = {0x02, 0x00, 0x56};
    const uint16_t wFcs = MacFcs(byAck, 3);
    // Appending the FCS (low byte first) gives a zero residue, as a receiver checks it.
    const uint8_t byAll[5] = {0x02, 0x00, 0x56, static_cast<uint8_t>(wFcs), static_cast<uint8_t>(wFcs >> 8)};
    EXPECT_EQ(0, MacFcs(byAll, 5));
}

TEST(DongleSimOptions, DefaultsAndBothValueForms)
{
    CSimOptions opts;
    std::string strError;
    const char* argvNone[] = {"qm-dongle-sim"};
    ASSERT_TRUE(ParseSimOptions(1, argvNone, opts, strError));
    EXPECT_EQ(200, opts.m_nPort);
    EXPECT_EQ(-1, opts.m_nFrames);
    EXPECT_EQ(-1, opts.m_nHangupAfter);
    EXPECT_TRUE(opts.m_strPortsDir.empty());

    CSimOptions opts2;
    const char* argv[] = {"qm-dongle-sim", "--port=17", "--ports-dir", "/x/y", "--rate=2.5", "--burst", "9",
                          "--frames=100", "--ack-delay", "1500", "--garbage", "--hangup-after", "0",
                          "--replay", "in.pcap", "--sent-pcap=out.pcap", "--seed", "4294967295"};
    ASSERT_TRUE(ParseSimOptions(static_cast<int>(std::size(argv)), argv, opts2, strError)) << strError;
    EXPECT_EQ(17, opts2.m_nPort);
    EXPECT_EQ("/x/y", opts2.m_strPortsDir);
    EXPECT_DOUBLE_EQ(2.5, opts2.m_dRate);
    EXPECT_EQ(9, opts2.m_nBurst);
    EXPECT_EQ(100, opts2.m_nFrames);
    EXPECT_EQ(1500, opts2.m_nAckDelayMs);
    EXPECT_TRUE(opts2.m_bGarbage);
    EXPECT_EQ(0, opts2.m_nHangupAfter);
    EXPECT_EQ("in.pcap", opts2.m_strReplay);
    EXPECT_EQ("out.pcap", opts2.m_strSentPcap);
    EXPECT_EQ(4294967295u, opts2.m_dwSeed);
}

TEST(DongleSimOptions, RefusesWhatItCannotTake)
{
    const std::vector<std::vector<const char*>> vecBad = {
        {"--port", "0"}, {"--port", "256"}, {"--port", ""}, {"--port", "1e2"}, {"--port"},
        {"--rate", "nan"}, {"--rate", "inf"}, {"--rate", "0"}, {"--rate", "1000001"},
        {"--burst", "-1"}, {"--frames", "x"}, {"--ack-delay", "600001"}, {"--hangup-after", "-2"},
        {"--ports-dir", ""}, {"--garbage=1"}, {"--line-rate", "--rate", "5"}, {"--no-ack", "--ack-delay", "5"},
        {"--seed", "4294967296"}, {"ports"},
    };
    for (const auto& args : vecBad) {
        std::vector<const char*> argv = {"qm-dongle-sim"};
        argv.insert(argv.end(), args.begin(), args.end());
        CSimOptions opts;
        std::string strError;
        EXPECT_FALSE(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), opts, strError)) << args[0];
        EXPECT_FALSE(strError.empty()) << args[0];
    }
}

}

TEST(DongleSimOptions, SaysWhyInOneLine)
{
    const std::vector<std::pair<std::vector<const char*>, std::string>> vecCases = {
        {{"--port", "0"}, "--port: '0' is not a number from 1 to 255"},
        {{"--port="}, "--port: '' is not a number from 1 to 255"},
        {{"--port"}, "--port needs a value"},
        {{"--replay"}, "--replay needs a value"},
        {{"--seed=x"}, "--seed: 'x' is not a number from 0 to 4294967295"},
        {{"--rate", "nan"}, "--rate: 'nan' is not a rate above 0 and up to 1000000"},
        {{"--ports-dir", ""}, "--ports-dir needs a directory"},
        {{"--garbage=1"}, "--garbage takes no value"},
        {{"--no-ack=yes"}, "--no-ack takes no value"},
        {{"ports"}, "unknown option 'ports' (see --help)"},
        {{"--port=5", "--bogus=1"}, "unknown option '--bogus=1' (see --help)"},
        {{"--line-rate", "--rate", "5"}, "--rate and --line-rate exclude each other"},
        {{"--no-ack", "--ack-delay", "5"}, "--no-ack and --ack-delay exclude each other"},
    };
    for (const auto& [args, strWant] : vecCases) {
        std::vector<const char*> argv = {"qm-dongle-sim"};
        argv.insert(argv.end(), args.begin(), args.end());
        CSimOptions opts;
        std::string strError;
        EXPECT_FALSE(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), opts, strError)) << args[0];
        EXPECT_EQ(strError, strWant) << args[0];
    }
    // A value that looks like an option is still the value; help takes no check.
    CSimOptions opts;
    std::string strError;
    const char* argv[] = {"qm-dongle-sim", "--replay", "--garbage", "-h"};
    ASSERT_TRUE(ParseSimOptions(4, argv, opts, strError)) << strError;
    EXPECT_EQ(opts.m_strReplay, "--garbage");
    EXPECT_FALSE(opts.m_bGarbage);
    EXPECT_TRUE(opts.m_bHelp);
}
