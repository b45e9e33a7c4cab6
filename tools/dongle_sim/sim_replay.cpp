#include "tools/dongle_sim/sim_replay.h"

#include <pcap/pcap.h>

int32_t SimFcsBytesHeld(uint32_t dwCapLen, uint32_t dwOrigLen)
{
    const uint32_t dwMissing = dwOrigLen > dwCapLen ? dwOrigLen - dwCapLen : 0;
    if (dwMissing >= 2)
        return 0;
    const int32_t nHeld = 2 - static_cast<int32_t>(dwMissing);
    return static_cast<uint32_t>(nHeld) <= dwCapLen ? nHeld : static_cast<int32_t>(dwCapLen);
}

CSimReplay::CSimReplay() : m_nNext(0), m_nSkipped(0), m_nLinkType(-1)
{
}

bool CSimReplay::Load(const char* pszPath, std::string& strError)
{
    m_vecFrames.clear();
    m_nNext = 0;
    m_nSkipped = 0;
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pPcap = pcap_open_offline(pszPath, szErr);
    if (pPcap == nullptr) {
        strError = std::string("cannot read ") + pszPath + ": " + szErr;
        return false;
    }
    m_nLinkType = pcap_datalink(pPcap);
    if (m_nLinkType != SIM_LINKTYPE_WITH_FCS && m_nLinkType != SIM_LINKTYPE_NO_FCS) {
        strError = std::string(pszPath) + ": link type " + std::to_string(m_nLinkType) +
            " is not IEEE 802.15.4 (195 or 230)";
        pcap_close(pPcap);
        return false;
    }
    int64_t nTotal = 0;
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        int32_t nLen = static_cast<int32_t>(pHdr->caplen);
        if (m_nLinkType == SIM_LINKTYPE_WITH_FCS)
            nLen -= SimFcsBytesHeld(pHdr->caplen, pHdr->len);
        if (nLen > SIM_MAX_PAYLOAD) {
            ++m_nSkipped;
            continue;
        }
        nTotal += nLen;
        if (nTotal > SIM_REPLAY_MAX_BYTES) {
            strError = std::string(pszPath) + ": more than 64 MiB of frames";
            pcap_close(pPcap);
            return false;
        }
        m_vecFrames.emplace_back(pData, pData + nLen);
    }
    if (nRc == PCAP_ERROR) {
        // A file cut off in the middle of a record still replays what came before.
        strError = std::string(pszPath) + ": " + pcap_geterr(pPcap);
        if (m_vecFrames.empty()) {
            pcap_close(pPcap);
            return false;
        }
    }
    pcap_close(pPcap);
    if (m_vecFrames.empty()) {
        strError = std::string(pszPath) + ": no frame of at most 241 bytes to replay";
        return false;
    }
    return true;
}

bool CSimReplay::NextPayload(CSimBytes& byOut)
{
    if (m_vecFrames.empty())
        return false;
    if (m_nNext >= m_vecFrames.size())
        m_nNext = 0;
    byOut = m_vecFrames[m_nNext++];
    return true;
}
