// A capture written with the TAP link type is what Wireshark reads: libpcap
// sees link type 283 and records as long as the frames, tshark finds the
// channel in each TAP header and the MAC fields right behind it. The file
// keeps the link type it was opened with.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "common/command_output_posix.h"
#include "common/mac_frames.h"
#include "common/temp_dir_posix.h"
#include "pcap/pcap_file.h"
#include "pcap/pcap_tap.h"

using namespace macframes;

namespace {

struct CReadBack {
    bool m_bOk = false;
    int m_nLinkType = -1;
    std::vector<std::pair<uint32_t, uint32_t>> m_vecLens;   // caplen, len
};

CReadBack ReadBack(const std::string& strPath)
{
    CReadBack rb;
    char szErr[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(strPath.c_str(), szErr);
    if (p == nullptr)
        return rb;
    rb.m_nLinkType = pcap_datalink(p);
    struct pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc;
    while ((nRc = pcap_next_ex(p, &pHdr, &pData)) == 1)
        rb.m_vecLens.emplace_back(pHdr->caplen, pHdr->len);
    rb.m_bOk = nRc == PCAP_ERROR_BREAK;
    pcap_close(p);
    return rb;
}

void AddTapRecord(CPcapFile& file, int32_t nChannel, const Bytes& mac, uint32_t dwSec)
{
    Bytes by(PCAP_TAP_HEADER_LEN);
    ASSERT_EQ(BuildTapHeader(by.data(), PCAP_TAP_HEADER_LEN, nChannel), PCAP_TAP_HEADER_LEN);
    by.insert(by.end(), mac.begin(), mac.end());
    file.AddRecord(by.data(), static_cast<int32_t>(by.size()), CPcapTime{dwSec, 0});
}

TEST(PcapTapTshark, TapFileDecodesChannelAndMacFields)
{
    ASSERT_EQ(access("/usr/bin/tshark", X_OK), 0) << "tshark is a test dependency (scripts/deps.sh)";
    CTestTempDir dir("qm-tap-test");
    const std::string strPath = dir.Path() + "/tap.pcap";
    CPcapFile file;
    file.SetLinkType(EPcapLinkType::Ieee802154Tap);
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::CreateNew));
    file.SetLinkType(EPcapLinkType::Ieee802154WithFcs);   // too late for this file: it stays TAP
    AddTapRecord(file, 15, DataFrame(0x1A62), 1710000000u);
    AddTapRecord(file, 20, BeaconFrame(0x2B00, 0x00124B0001020304ull), 1710000001u);
    file.FlushRecords();
    ASSERT_TRUE(file.Close());

    const CReadBack cap = ReadBack(strPath);
    ASSERT_TRUE(cap.m_bOk);
    EXPECT_EQ(cap.m_nLinkType, 283);
    ASSERT_EQ(cap.m_vecLens.size(), 2u);
    for (const auto& lens : cap.m_vecLens)
        EXPECT_EQ(lens.second, lens.first) << "a TAP record declares no FCS";

    const std::string strOut = CommandOutput(InPrivateHome(dir.Path(),
        "/usr/bin/tshark -n -r '" + strPath + "' -T fields -E separator=/t -e wpan-tap.ch_num -e wpan-tap.fcs_type"
        " -e wpan.dst_pan -e wpan.src_pan -e zbee_beacon.ext_panid 2>/dev/null"));
    const std::vector<std::vector<std::string>> rows = SplitFields(strOut, '\t');
    ASSERT_EQ(rows.size(), 2u) << strOut;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"15", "0", "0x1a62", "", ""}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"20", "0", "", "0x2b00", "00:12:4b:00:01:02:03:04"}));

    // Opened again after the change: a 195 file.
    ASSERT_TRUE(file.Open(strPath, EPcapFileOpen::Replace));
    const Bytes mac = DataFrame(0x1A62);
    file.AddRecord(mac.data(), static_cast<int32_t>(mac.size()), CPcapTime{1710000002u, 0});
    ASSERT_TRUE(file.Close());
    const CReadBack cap195 = ReadBack(strPath);
    EXPECT_EQ(cap195.m_nLinkType, 195);
    ASSERT_EQ(cap195.m_vecLens.size(), 1u);
    EXPECT_EQ(cap195.m_vecLens[0].second, mac.size() + PCAP_FCS_LEN);
}

} // namespace
