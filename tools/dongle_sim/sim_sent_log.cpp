#include "tools/dongle_sim/sim_sent_log.h"

#include "base/os_error.h"
#include "tools/dongle_sim/sim_source.h"

constexpr int32_t MAC_SEQ_OFFSET = 2;   // after the two frame-control bytes

std::string FormatSimSentLine(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen)
{
    char szPan[16] = "-";
    if (nPanId != SIM_PAN_UNKNOWN)
        std::snprintf(szPan, sizeof szPan, "0x%04x", static_cast<unsigned>(nPanId & 0xFFFF));
    const unsigned nSeq = nLen > MAC_SEQ_OFFSET ? pMac[MAC_SEQ_OFFSET] : 0u;
    char sz[48];
    std::snprintf(sz, sizeof sz, "%d %s %u %d", nChannel, szPan, nSeq, nLen);
    return sz;
}

CSimSentLog::CSimSentLog() : m_pFile(nullptr)
{
}

CSimSentLog::~CSimSentLog()
{
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
}

bool CSimSentLog::Open(const char* pszPath, std::string& strError)
{
    m_pFile = std::fopen(pszPath, "w");
    if (m_pFile == nullptr) {
        strError = std::string("cannot write ") + pszPath + ": " + OsLastError().m_strText;
        return false;
    }
    return true;
}

bool CSimSentLog::Record(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen)
{
    if (m_pFile == nullptr)
        return false;
    const std::string strLine = FormatSimSentLine(nChannel, nPanId, pMac, nLen);
    return std::fprintf(m_pFile, "%s\n", strLine.c_str()) > 0 && std::fflush(m_pFile) == 0;
}
