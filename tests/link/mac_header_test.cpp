// The MAC header reader: frame type and version, the PAN IDs by addressing
// modes and PAN ID compression (2003/2006 rules and the 2015 table), ZigBee
// beacons through GTS and pending address fields, and frames cut short at
// every length, which must never be read past their end.
#include <gtest/gtest.h>

#include <memory>

#include "common/mac_frames.h"
#include "link/mac_header.h"

using namespace macframes;

namespace {

CMacHeader Parse(const Bytes& by)
{
    return ParseMacHeader(by.data(), static_cast<int32_t>(by.size()));
}

// Every prefix of by in a buffer of its own exact size (ASan sees a read past it).
void ParseEveryPrefix(const Bytes& by)
{
    for (size_t n = 0; n < by.size(); ++n) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[n == 0 ? 1 : n]);
        std::copy(by.begin(), by.begin() + static_cast<std::ptrdiff_t>(n), p.get());
        const CMacHeader hdr = ParseMacHeader(p.get(), static_cast<int32_t>(n));
        EXPECT_EQ(hdr.m_bParsed, n >= 3) << n;
        EXPECT_FALSE(hdr.m_bZigBeeBeacon) << "a beacon cut at " << n << " reported an extended PAN id";
        EXPECT_TRUE(hdr.m_bAddressesParsed || !(hdr.m_bHasDstPan || hdr.m_bHasSrcPan)) << n;
    }
}

TEST(MacHeader, DataFramesBy2003Rules)
{
    const CMacHeader hComp = Parse(DataFrame(0x1A62));
    ASSERT_TRUE(hComp.m_bParsed);
    EXPECT_EQ(hComp.m_byFrameType, MAC_FRAME_DATA);
    EXPECT_EQ(hComp.m_byVersion, MAC_VERSION_2003);
    EXPECT_TRUE(hComp.m_bAddressesParsed);
    EXPECT_EQ(hComp.m_nHeaderLen, 9);
    ASSERT_TRUE(hComp.m_bHasDstPan && hComp.m_bHasSrcPan);
    EXPECT_EQ(hComp.m_wDstPan, 0x1A62);
    EXPECT_EQ(hComp.m_wSrcPan, 0x1A62) << "compressed: the source is in the destination PAN";

    // Without compression both PAN IDs are carried, each where it belongs.
    CFrameSpec s;
    s.m_nVersion = 1;
    s.m_nDstMode = MODE_EXT;
    s.m_wDstPan = 0x1234;
    s.m_wSrcPan = 0xBEEF;
    const CMacHeader hBoth = Parse(Header(s, true, true));
    EXPECT_EQ(hBoth.m_byVersion, MAC_VERSION_2006);
    EXPECT_EQ(hBoth.m_nHeaderLen, 3 + 2 + 8 + 2 + 2);
    EXPECT_EQ(hBoth.m_wDstPan, 0x1234);
    ASSERT_TRUE(hBoth.m_bHasSrcPan);
    EXPECT_EQ(hBoth.m_wSrcPan, 0xBEEF);

    // Destination only (a beacon request to the broadcast PAN).
    s = CFrameSpec();
    s.m_nType = TYPE_COMMAND;
    s.m_nSrcMode = MODE_NONE;
    s.m_wDstPan = 0xFFFF;
    const CMacHeader hReq = Parse(Header(s, true, false));
    EXPECT_EQ(hReq.m_byFrameType, MAC_FRAME_COMMAND);
    EXPECT_TRUE(hReq.m_bHasDstPan);
    EXPECT_EQ(hReq.m_wDstPan, 0xFFFF);
    EXPECT_FALSE(hReq.m_bHasSrcPan);

    // An acknowledgement carries no addressing at all.
    s = CFrameSpec();
    s.m_nType = TYPE_ACK;
    s.m_nDstMode = s.m_nSrcMode = MODE_NONE;
    const CMacHeader hAck = Parse(Header(s, false, false));
    EXPECT_TRUE(hAck.m_bParsed && hAck.m_bAddressesParsed);
    EXPECT_EQ(hAck.m_byFrameType, MAC_FRAME_ACK);
    EXPECT_FALSE(hAck.m_bHasDstPan || hAck.m_bHasSrcPan);
}

// One row of the 2015 table: the modes, compression, which PANs are carried.
struct CRow2015 {
    int m_nDst, m_nSrc;
    bool m_bComp, m_bDstPan, m_bSrcPan;
};

TEST(MacHeader, Version2015FollowsThePanIdCompressionTable)
{
    const CRow2015 rows[] = {
        {MODE_NONE, MODE_NONE, false, false, false},   {MODE_NONE, MODE_NONE, true, true, false},
        {MODE_SHORT, MODE_NONE, false, true, false},   {MODE_EXT, MODE_NONE, true, false, false},
        {MODE_NONE, MODE_SHORT, false, false, true},   {MODE_NONE, MODE_EXT, true, false, false},
        {MODE_EXT, MODE_EXT, false, true, false},      {MODE_EXT, MODE_EXT, true, false, false},
        {MODE_SHORT, MODE_SHORT, false, true, true},   {MODE_SHORT, MODE_EXT, false, true, true},
        {MODE_EXT, MODE_SHORT, false, true, true},     {MODE_SHORT, MODE_EXT, true, true, false},
        {MODE_EXT, MODE_SHORT, true, true, false},     {MODE_SHORT, MODE_SHORT, true, true, false},
    };
    for (const CRow2015& r : rows) {
        CFrameSpec s;
        s.m_nVersion = 2;
        s.m_nDstMode = r.m_nDst;
        s.m_nSrcMode = r.m_nSrc;
        s.m_bCompress = r.m_bComp;
        s.m_wDstPan = 0x0D0D;
        s.m_wSrcPan = 0x5C5C;
        Bytes by = Header(s, r.m_bDstPan, r.m_bSrcPan);
        const int32_t nLen = static_cast<int32_t>(by.size());
        by.push_back(0x77);   // payload: must not be taken for a PAN ID
        SCOPED_TRACE(testing::Message() << r.m_nDst << "/" << r.m_nSrc << " comp " << r.m_bComp);
        const CMacHeader hdr = Parse(by);
        ASSERT_TRUE(hdr.m_bAddressesParsed);
        EXPECT_EQ(hdr.m_byVersion, MAC_VERSION_2015);
        EXPECT_EQ(hdr.m_nHeaderLen, nLen);
        EXPECT_EQ(hdr.m_bHasDstPan, r.m_bDstPan);
        if (r.m_bDstPan) {
            EXPECT_EQ(hdr.m_wDstPan, 0x0D0D);
        }
        // Both addresses, compressed: the source is in the destination PAN.
        const bool bImplied = r.m_bComp && r.m_bDstPan && r.m_nSrc != MODE_NONE;
        EXPECT_EQ(hdr.m_bHasSrcPan, r.m_bSrcPan || bImplied);
        if (r.m_bSrcPan) {
            EXPECT_EQ(hdr.m_wSrcPan, 0x5C5C);
        } else if (bImplied) {
            EXPECT_EQ(hdr.m_wSrcPan, 0x0D0D);
        }
    }

    // A suppressed sequence number moves the addressing fields up a byte.
    CFrameSpec s;
    s.m_nVersion = 2;
    s.m_bSeqSuppressed = true;
    s.m_bCompress = true;
    s.m_wDstPan = 0xABCD;
    const CMacHeader hdr = Parse(Header(s, true, false));
    EXPECT_EQ(hdr.m_nHeaderLen, 2 + 2 + 2 + 2);
    EXPECT_EQ(hdr.m_wDstPan, 0xABCD);
}

TEST(MacHeader, ZigBeeBeaconsThroughGtsAndPendingAddresses)
{
    const uint64_t qwExt = 0x00124B0001020304ull;
    const CMacHeader hPlain = Parse(BeaconFrame(0x1A62, qwExt));
    EXPECT_EQ(hPlain.m_byFrameType, MAC_FRAME_BEACON);
    ASSERT_TRUE(hPlain.m_bHasSrcPan);
    EXPECT_EQ(hPlain.m_wSrcPan, 0x1A62);
    EXPECT_FALSE(hPlain.m_bHasDstPan);
    ASSERT_TRUE(hPlain.m_bZigBeeBeacon);
    EXPECT_EQ(hPlain.m_qwExtPanId, qwExt);

    // GTS descriptors and pending addresses shift the payload: the extended
    // PAN id must still be found where it is, not in the skipped fields.
    const CMacHeader hFull = Parse(BeaconFrame(0x2B00, qwExt + 1, true, 2, 3, 2));
    ASSERT_TRUE(hFull.m_bZigBeeBeacon);
    EXPECT_EQ(hFull.m_qwExtPanId, qwExt + 1);

    // Another protocol's beacon: its PAN counts, no extended PAN id.
    const CMacHeader hOther = Parse(BeaconFrame(0x3C00, qwExt, false));
    EXPECT_TRUE(hOther.m_bHasSrcPan);
    EXPECT_FALSE(hOther.m_bZigBeeBeacon);

    // Secured, or a 2015 enhanced beacon: the payload is not read.
    Bytes bySecured = BeaconFrame(0x1A62, qwExt);
    bySecured[0] |= 0x08;
    EXPECT_FALSE(Parse(bySecured).m_bZigBeeBeacon);
    Bytes byEnhanced = BeaconFrame(0x1A62, qwExt);
    byEnhanced[1] = static_cast<uint8_t>((byEnhanced[1] & ~0x30) | 0x20);
    EXPECT_FALSE(Parse(byEnhanced).m_bZigBeeBeacon);
}

TEST(MacHeader, TruncatedAndOddFramesGiveNotParsedParts)
{
    EXPECT_FALSE(ParseMacHeader(nullptr, 10).m_bParsed);
    const uint8_t by[4] = {0x41, 0x88, 0x01, 0x62};
    EXPECT_FALSE(ParseMacHeader(by, -1).m_bParsed);
    EXPECT_FALSE(ParseMacHeader(by, 0).m_bParsed);
    const CMacHeader hCut = ParseMacHeader(by, 4);   // the PAN ID half there
    EXPECT_TRUE(hCut.m_bParsed);
    EXPECT_FALSE(hCut.m_bAddressesParsed || hCut.m_bHasDstPan || hCut.m_bHasSrcPan);

    ParseEveryPrefix(DataFrame(0x1A62, 0));
    ParseEveryPrefix(BeaconFrame(0x1A62, 1, true, 7, 7, 7));
    CFrameSpec s;
    s.m_nDstMode = s.m_nSrcMode = MODE_EXT;
    ParseEveryPrefix(Header(s, true, true));

    // A reserved address mode (1) or frame version (3), a multipurpose frame:
    // type and version only.
    for (uint16_t wFcf : {uint16_t(0x0441), uint16_t(0xB841), uint16_t(0x8845)}) {
        Bytes byOdd;
        Le16(byOdd, wFcf);
        for (int i = 0; i < 20; ++i)
            byOdd.push_back(0x11);
        const CMacHeader hdr = Parse(byOdd);
        EXPECT_TRUE(hdr.m_bParsed) << wFcf;
        EXPECT_FALSE(hdr.m_bAddressesParsed || hdr.m_bHasDstPan || hdr.m_bHasSrcPan) << wFcf;
    }
}

} // namespace
