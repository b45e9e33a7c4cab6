// pcap files in the simulator's tests: files written for it to replay, and
// the record it keeps of what it sent, read back.
#pragma once

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dongle_sim/sim_mac.h"

typedef std::vector<uint8_t> CByteVec;

struct CPcapRec {
    CByteVec m_by;
    uint32_t m_dwOrig;   // the length the record declares the frame had
};

inline void WritePcap(const std::string& strPath, int nLinkType, const std::vector<CPcapRec>& vecRecords)
{
    pcap_t* p = pcap_open_dead(nLinkType, 65535);
    pcap_dumper_t* d = pcap_dump_open(p, strPath.c_str());
    EXPECT_NE(nullptr, d) << pcap_geterr(p);
    if (d != nullptr) {
        for (const CPcapRec& rec : vecRecords) {
            pcap_pkthdr hdr{};
            hdr.caplen = static_cast<bpf_u_int32>(rec.m_by.size());
            hdr.len = rec.m_dwOrig;
            pcap_dump(reinterpret_cast<u_char*>(d), &hdr, rec.m_by.data());
        }
        pcap_dump_close(d);
    }
    pcap_close(p);
}

// The payloads of a capture the simulator wrote (link type in *pLinkType).
inline std::vector<CByteVec> ReadPcapPayloads(const std::string& strPath, int* pLinkType = nullptr)
{
    std::vector<CByteVec> vec;
    char szErr[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(strPath.c_str(), szErr);
    if (p == nullptr) {
        ADD_FAILURE() << szErr;
        return vec;
    }
    if (pLinkType != nullptr)
        *pLinkType = pcap_datalink(p);
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    while (pcap_next_ex(p, &pHdr, &pData) == 1) {
        EXPECT_EQ(pHdr->caplen + 2, pHdr->len) << "records declare the FCS the dongle does not report";
        vec.emplace_back(pData, pData + pHdr->caplen);
    }
    pcap_close(p);
    return vec;
}

// A MAC frame with its FCS, as a file of link type 195 holds it.
inline CByteVec WithFcs(const CByteVec& mac)
{
    CByteVec by = mac;
    const uint16_t w = MacFcs(mac.data(), static_cast<int32_t>(mac.size()));
    by.push_back(static_cast<uint8_t>(w));
    by.push_back(static_cast<uint8_t>(w >> 8));
    return by;
}
