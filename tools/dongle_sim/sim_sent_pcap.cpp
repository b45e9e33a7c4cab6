#include "tools/dongle_sim/sim_sent_pcap.h"

#include "base/os_error.h"

CSimSentPcap::CSimSentPcap() : m_pFile(nullptr), m_writer(*this)
{
}

CSimSentPcap::~CSimSentPcap()
{
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
}

bool CSimSentPcap::Open(const char* pszPath, std::string& strError)
{
    m_pFile = std::fopen(pszPath, "wb");
    if (m_pFile == nullptr) {
        strError = std::string("cannot write ") + pszPath + ": " + OsLastError().m_strText;
        return false;
    }
    if (!m_writer.WriteGlobalHeader() || std::fflush(m_pFile) != 0) {
        strError = std::string("cannot write ") + pszPath + ": " + OsLastError().m_strText;
        return false;
    }
    return true;
}

bool CSimSentPcap::Record(const uint8_t* pMac, int32_t nLen)
{
    if (m_pFile == nullptr)
        return false;
    return m_writer.WriteRecord(pMac, nLen) && std::fflush(m_pFile) == 0;
}

int32_t CSimSentPcap::WriteBytes(const uint8_t* p, int32_t n)
{
    if (m_pFile == nullptr || n <= 0)
        return 0;
    return static_cast<int32_t>(std::fwrite(p, 1, static_cast<size_t>(n), m_pFile));
}
