// The framing of Wireshark's toolbar messages: the bytes of a message, and
// messages cut back out of a stream however its reads split it, with the
// faults a stream can have (a wrong sync byte, a length too short or too long).
#include "shell/extcap/extcap_control_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CControlMsg Msg(uint8_t byControl, EControlCommand eCommand, const std::string& strPayload)
{
    CControlMsg msg;
    msg.m_byControl = byControl;
    msg.m_eCommand = eCommand;
    msg.m_strPayload = strPayload;
    return msg;
}

void Feed(CControlMsgDecoder& decoder, const std::string& strBytes)
{
    decoder.Feed(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size());
}

std::vector<CControlMsg> Drain(CControlMsgDecoder& decoder)
{
    std::vector<CControlMsg> vec;
    CControlMsg msg;
    while (decoder.Next(msg))
        vec.push_back(msg);
    return vec;
}

// "T", length, control, command, payload, as a header written by hand.
std::string Header(uint32_t dwLength, uint8_t byControl, uint8_t byCommand)
{
    return std::string { 'T', static_cast<char>(dwLength >> 16), static_cast<char>((dwLength >> 8) & 0xFF),
        static_cast<char>(dwLength & 0xFF), static_cast<char>(byControl), static_cast<char>(byCommand) };
}

} // namespace

TEST(CControlMsgTest, EncodedBytes)
{
    // Wireshark's Set of control 0 to "20": the length counts control, command and payload.
    EXPECT_EQ(EncodeControlMsg(Msg(0, EControlCommand::Set, "20")), std::string("T\0\0\x04\0\x01" "20", 8));
    EXPECT_EQ(EncodeControlMsg(Msg(3, EControlCommand::Initialized, "")), std::string("T\0\0\x02\x03\0", 6));
    // A length over 255 fills the middle byte.
    const std::string strLong(300, 'x');
    EXPECT_EQ(EncodeControlMsg(Msg(1, EControlCommand::Add, strLong)).substr(0, 6), Header(302, 1, 2));

    // A payload over the limit is cut to it, never inside a UTF-8 character.
    const std::string strTooLong(CONTROL_PAYLOAD_MAX + 10, 'a');
    EXPECT_EQ(EncodeControlMsg(Msg(0, EControlCommand::ErrorMessage, strTooLong)).size(), 4096u);
    std::string strUtf8(CONTROL_PAYLOAD_MAX - 1, 'a');
    strUtf8 += "\xc3\xa9\xc3\xa9";   // "éé": the first one straddles the limit
    const std::string strCut = EncodeControlMsg(Msg(0, EControlCommand::ErrorMessage, strUtf8));
    EXPECT_EQ(strCut.size(), CONTROL_HEADER_BYTES + CONTROL_PAYLOAD_MAX - 1);
    EXPECT_EQ(strCut.back(), 'a');
}

TEST(CControlMsgTest, SplitReads)
{
    const std::vector<CControlMsg> vecSent = { Msg(0, EControlCommand::Set, "20"),
        Msg(0, EControlCommand::Initialized, ""), Msg(1, EControlCommand::Set, std::string(1000, 'q')),
        Msg(255, EControlCommand::ErrorMessage, std::string("a\0b", 3)) };
    std::string strStream;
    for (const CControlMsg& msg : vecSent)
        strStream += EncodeControlMsg(msg);
    // Every place the first read can end, then the rest in reads of every size.
    for (size_t nFirst = 0; nFirst <= strStream.size(); nFirst += 7) {
        for (size_t nChunk : { size_t(1), size_t(5), size_t(4096) }) {
            CControlMsgDecoder decoder;
            std::vector<CControlMsg> vecGot;
            Feed(decoder, strStream.substr(0, nFirst));
            for (const CControlMsg& msg : Drain(decoder))
                vecGot.push_back(msg);
            for (size_t nAt = nFirst; nAt < strStream.size(); nAt += nChunk) {
                Feed(decoder, strStream.substr(nAt, nChunk));
                for (const CControlMsg& msg : Drain(decoder))
                    vecGot.push_back(msg);
            }
            ASSERT_EQ(vecGot.size(), vecSent.size()) << nFirst << "/" << nChunk;
            for (size_t n = 0; n < vecSent.size(); ++n) {
                EXPECT_EQ(vecGot[n].m_byControl, vecSent[n].m_byControl);
                EXPECT_EQ(vecGot[n].m_eCommand, vecSent[n].m_eCommand);
                EXPECT_EQ(vecGot[n].m_strPayload, vecSent[n].m_strPayload);
            }
            EXPECT_FALSE(decoder.IsBroken());
        }
    }
}

TEST(CControlMsgTest, BrokenStreams)
{
    const std::string strGood = EncodeControlMsg(Msg(0, EControlCommand::Set, "20"));
    // A wrong sync byte where a message starts: nothing after it is taken,
    // not even a good message (its bytes could be anything).
    for (const std::string& strBad : { std::string("X\0\0\x04\0\x01" "20", 8), Header(1, 0, 1).substr(0, 4) + "xx",
             Header(0, 0, 0) }) {
        CControlMsgDecoder decoder;
        Feed(decoder, strGood + strBad + strGood);
        EXPECT_EQ(Drain(decoder).size(), 1u);
        EXPECT_TRUE(decoder.IsBroken());
        Feed(decoder, strGood);
        EXPECT_TRUE(Drain(decoder).empty());
    }
    // Half a header is not yet a fault.
    CControlMsgDecoder decoder;
    Feed(decoder, strGood.substr(0, 3));
    EXPECT_TRUE(Drain(decoder).empty());
    EXPECT_FALSE(decoder.IsBroken());
}

TEST(CControlMsgTest, TooLongIsPassedOver)
{
    const std::string strGood = EncodeControlMsg(Msg(0, EControlCommand::Set, "21"));
    // Over the limit by one, whole in one read; and the longest length there
    // is (16 MiB), its payload coming in pieces: neither is held, and the
    // message after each is read.
    const std::string strOver = Header(CONTROL_LENGTH_MIN + CONTROL_PAYLOAD_MAX + 1, 0, 1) +
                                std::string(CONTROL_PAYLOAD_MAX + 1, 'z');
    CControlMsgDecoder decoder;
    Feed(decoder, strOver + strGood);
    std::vector<CControlMsg> vecGot = Drain(decoder);
    ASSERT_EQ(vecGot.size(), 1u);
    EXPECT_EQ(vecGot[0].m_strPayload, "21");

    const uint32_t dwHuge = 0xFFFFFF;
    Feed(decoder, Header(dwHuge, 0, 1) + "zz");
    EXPECT_TRUE(Drain(decoder).empty());
    const std::string strChunk(1 << 20, 'z');
    size_t nLeft = dwHuge - CONTROL_LENGTH_MIN - 2;
    while (nLeft > strChunk.size()) {
        Feed(decoder, strChunk);
        nLeft -= strChunk.size();
        ASSERT_TRUE(Drain(decoder).empty());
    }
    Feed(decoder, strChunk.substr(0, nLeft) + strGood);
    vecGot = Drain(decoder);
    ASSERT_EQ(vecGot.size(), 1u);
    EXPECT_EQ(vecGot[0].m_strPayload, "21");
    EXPECT_EQ(decoder.GetSkipped(), 2u);
    EXPECT_FALSE(decoder.IsBroken());
}
