// Command frames on the wire and the classing of received frames by length.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "link/frame_protocol.h"

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, int32_t n)
{
    return std::vector<uint8_t>(p, p + n);
}

std::vector<uint8_t> SetChannel(int32_t nChannel)
{
    uint8_t byFrame[RF_CMD_LEN];
    std::memcpy(byFrame, g_bySetChannelFrame11, sizeof byFrame);
    PatchSetChannelFrame(byFrame, nChannel);
    return Bytes(byFrame, RF_CMD_LEN);
}

// LEN, command, parameter and checksum add up to 0 modulo 256.
bool ChecksumHolds(const uint8_t* pFrame)
{
    return ((pFrame[2] + pFrame[3] + pFrame[4] + pFrame[5]) & 0xFF) == 0;
}

}  // namespace

TEST(CommandFrames, StartStopAndInitialSetChannelAreTheDongleImages)
{
    EXPECT_EQ(Bytes(g_byStartSniffFrame, RF_CMD_LEN),
              (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x01, 0x01, 0xFA, 0x04}));
    EXPECT_EQ(Bytes(g_byStopSniffFrame, RF_CMD_LEN),
              (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x01, 0x00, 0xFB, 0x04}));
    EXPECT_EQ(Bytes(g_bySetChannelFrame11, RF_CMD_LEN),
              (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04}));
    EXPECT_TRUE(ChecksumHolds(g_byStartSniffFrame));
    EXPECT_TRUE(ChecksumHolds(g_byStopSniffFrame));
    EXPECT_TRUE(ChecksumHolds(g_bySetChannelFrame11));
}

TEST(CommandFrames, SetChannelForTheOfferedChannels)
{
    EXPECT_EQ(SetChannel(11), (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04}));
    EXPECT_EQ(SetChannel(15), (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x00, 0x0F, 0xED, 0x04}));
    EXPECT_EQ(SetChannel(20), (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x00, 0x14, 0xE8, 0x04}));
    EXPECT_EQ(SetChannel(26), (std::vector<uint8_t>{0x00, 0x01, 0x04, 0x00, 0x1A, 0xE2, 0x04}));
    for (int32_t nChannel = 11; nChannel <= 26; ++nChannel) {
        const std::vector<uint8_t> by = SetChannel(nChannel);
        EXPECT_EQ(by[4], nChannel);
        EXPECT_EQ(by[5], static_cast<uint8_t>(0xFC - nChannel)) << nChannel;
    }
}

TEST(CommandFrames, SetChannelTakesTheLowByteOfAnyValue)
{
    const int32_t nValues[] = {0, 1, 0xFC, 0xFD, 0xFF, 0x100, 0x10B, 0x1234, -1, -245, INT32_MAX, INT32_MIN};
    for (int32_t n : nValues) {
        const std::vector<uint8_t> by = SetChannel(n);
        const uint8_t byLow = static_cast<uint8_t>(static_cast<uint32_t>(n) & 0xFF);
        EXPECT_EQ(by[4], byLow) << n;
        EXPECT_TRUE(ChecksumHolds(by.data())) << n;
        // Only bytes 4 and 5 change.
        EXPECT_EQ(by[0], 0x00);
        EXPECT_EQ(by[1], 0x01);
        EXPECT_EQ(by[2], 0x04);
        EXPECT_EQ(by[3], 0x00);
        EXPECT_EQ(by[6], 0x04);
    }
    EXPECT_EQ(SetChannel(0x10B), SetChannel(11));
    EXPECT_EQ(SetChannel(-1)[5], 0xFD);    // 0xFC - 0xFF wraps
    EXPECT_EQ(SetChannel(0xFC)[5], 0x00);
}

TEST(CommandFrames, PatchingKeepsTheLastChannelAndRepatchesCleanly)
{
    uint8_t byImage[RF_CMD_LEN];
    std::memcpy(byImage, g_bySetChannelFrame11, sizeof byImage);
    PatchSetChannelFrame(byImage, 26);
    PatchSetChannelFrame(byImage, 15);
    EXPECT_EQ(Bytes(byImage, RF_CMD_LEN), SetChannel(15));
    PatchSetChannelFrame(nullptr, 15);   // no crash
}

TEST(CommandFrames, ChecksumRuleOverEveryParameter)
{
    for (int nCmd = 0; nCmd < 256; ++nCmd) {
        for (int nParam = 0; nParam < 256; ++nParam) {
            const uint8_t bySum = RfCommandChecksum(0x04, static_cast<uint8_t>(nCmd), static_cast<uint8_t>(nParam));
            ASSERT_EQ((0x04 + nCmd + nParam + bySum) & 0xFF, 0) << nCmd << " " << nParam;
        }
    }
    EXPECT_EQ(RfCommandChecksum(0x04, 0x01, 0x01), 0xFA);
    EXPECT_EQ(RfCommandChecksum(0x04, 0x01, 0x00), 0xFB);
    EXPECT_EQ(RfCommandChecksum(0x00, 0x00, 0x00), 0x00);   // not 0x100 truncated oddly
}

TEST(ReceivedFrames, ClassedByTotalLength)
{
    EXPECT_FALSE(RfIsAckLength(2));
    EXPECT_TRUE(RfIsAckLength(3));
    EXPECT_TRUE(RfIsAckLength(6));
    EXPECT_TRUE(RfIsAckLength(7));
    EXPECT_FALSE(RfIsAckLength(8));
    EXPECT_FALSE(RfIsDataLength(7));
    EXPECT_TRUE(RfIsDataLength(8));
    EXPECT_TRUE(RfIsDataLength(258));
    EXPECT_FALSE(RfIsDataLength(259));
    for (int32_t n = 3; n <= 258; ++n)
        EXPECT_NE(RfIsAckLength(n), RfIsDataLength(n)) << n;   // every legal total is exactly one kind
}

TEST(ReceivedFrames, PayloadLengthAndPlace)
{
    EXPECT_EQ(RfPayloadLength(17), 0);
    EXPECT_EQ(RfPayloadLength(18), 1);
    EXPECT_EQ(RfPayloadLength(258), 241);
    EXPECT_LT(RfPayloadLength(8), 0);
    EXPECT_LT(RfPayloadLength(16), 0);
    // Payload runs from byte 10 up to and including byte total - 8.
    for (int32_t nTotal = 17; nTotal <= 258; ++nTotal)
        EXPECT_EQ(RF_PAYLOAD_OFFSET + RfPayloadLength(nTotal) - 1, nTotal - 8) << nTotal;
    EXPECT_GE(RF_FRAME_BUF_SIZE, RF_FRAME_MAX_LEN);
}
