#include "bench/capture_bench_reader_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "pcap/pcap_stream.h"

namespace {

constexpr const char* READER_OUT_ENV = "QM_CAPTURE_BENCH_OUT";
constexpr size_t READ_BUFFER_BYTES = 1024 * 1024;
constexpr uint32_t RESULT_MAGIC = 0x51434231u;   // "QCB1"
constexpr uint32_t PCAP_MAGIC_NS = 0xA1B23C4Du;
constexpr int32_t WAIT_STEP_US = 5000;

struct CResultHeader {
    uint32_t m_dwMagic;
    uint32_t m_dwHeaderOk;
    uint32_t m_dwStreamBroken;
    uint32_t m_dwEntries;
    uint64_t m_qwBytes;
};

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
        | static_cast<uint32_t>(p[3]) << 24;
}

// Writes a file whole under its final name (readers never see half of it).
bool WriteFileAtomically(const std::string& strPath, const void* p1, size_t n1, const void* p2, size_t n2)
{
    const std::string strTmp = strPath + ".tmp";
    FILE* pFile = std::fopen(strTmp.c_str(), "wb");
    if (pFile == nullptr)
        return false;
    bool bOk = std::fwrite(p1, 1, n1, pFile) == n1;
    if (n2 > 0)
        bOk = bOk && std::fwrite(p2, 1, n2, pFile) == n2;
    bOk = std::fclose(pFile) == 0 && bOk;
    return bOk && std::rename(strTmp.c_str(), strPath.c_str()) == 0;
}

// Cuts pcap records out of what the FIFO gave so far.
class CRecordParser {
public:
    explicit CRecordParser(CReaderResult& result) : m_result(result), m_nWallOffsetNs(BenchWallOffsetNs()) {}

    // Takes records from [pData, pData+nLen); returns the bytes used.
    size_t Parse(const uint8_t* pData, size_t nLen, int64_t nArrivalNs)
    {
        size_t nPos = 0;
        if (!m_result.m_bHeaderOk) {
            if (nLen < static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN))
                return 0;
            const uint32_t dwMagic = Le32(pData);
            m_result.m_bHeaderOk = dwMagic == PCAP_MAGIC || dwMagic == PCAP_MAGIC_NS;
            m_nFractionNs = dwMagic == PCAP_MAGIC_NS ? 1 : 1000;
            m_result.m_bStreamBroken = !m_result.m_bHeaderOk;
            nPos = PCAP_GLOBAL_HEADER_LEN;
        }
        while (!m_result.m_bStreamBroken && nLen - nPos >= static_cast<size_t>(PCAP_RECORD_HEADER_LEN)) {
            const uint32_t dwIncl = Le32(pData + nPos + 8);
            if (dwIncl > PCAP_SNAPLEN) {
                m_result.m_bStreamBroken = true;
                break;
            }
            if (nLen - nPos - PCAP_RECORD_HEADER_LEN < dwIncl)
                break;
            const uint8_t* pPayload = pData + nPos + PCAP_RECORD_HEADER_LEN;
            // The stamp's seconds are the low 32 bits of the wall clock's.
            const int64_t nStampWallNs = static_cast<int64_t>(Le32(pData + nPos)) * 1000000000
                + static_cast<int64_t>(Le32(pData + nPos + 4)) * m_nFractionNs;
            CReaderEntry entry = {BENCH_SEQ_INVALID, dwIncl, 0, nArrivalNs, nStampWallNs - m_nWallOffsetNs};
            if (!BenchCheckPayload(pPayload, static_cast<int32_t>(dwIncl), &entry.m_dwSeq, &entry.m_nSendNs))
                entry.m_dwSeq = BENCH_SEQ_INVALID;
            m_result.m_vecEntries.push_back(entry);
            nPos += PCAP_RECORD_HEADER_LEN + dwIncl;
        }
        return m_result.m_bStreamBroken ? nLen : nPos;
    }

private:
    CReaderResult& m_result;
    int64_t m_nWallOffsetNs;
    int64_t m_nFractionNs = 1000;
};

} // namespace

bool IsBenchReaderCall(int argc, char** argv)
{
    return argc >= 3 && std::strcmp(argv[1], "-i") == 0;
}

int RunBenchReader(int argc, char** argv)
{
    if (!IsBenchReaderCall(argc, argv))
        return 2;
    const char* pszOut = getenv(READER_OUT_ENV);
    const std::string strOut = pszOut != nullptr ? pszOut : "";
    if (!strOut.empty()) {
        const int32_t nPid = static_cast<int32_t>(getpid());
        WriteFileAtomically(strOut + ".pid", &nPid, sizeof(nPid), nullptr, 0);
    }
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    CReaderResult result;
    result.m_vecEntries.reserve(1 << 18);
    CRecordParser parser(result);
    std::vector<uint8_t> vecBuf(READ_BUFFER_BYTES);
    size_t nHave = 0;
    for (;;) {
        const ssize_t nGot = read(fd, vecBuf.data() + nHave, vecBuf.size() - nHave);
        const int64_t nArrival = BenchNowNs();
        if (nGot < 0 && errno == EINTR)
            continue;
        if (nGot <= 0)
            break;
        nHave += static_cast<size_t>(nGot);
        result.m_qwBytes += static_cast<uint64_t>(nGot);
        const size_t nUsed = parser.Parse(vecBuf.data(), nHave, nArrival);
        std::memmove(vecBuf.data(), vecBuf.data() + nUsed, nHave - nUsed);
        nHave -= nUsed;
    }
    close(fd);
    if (strOut.empty())
        return 0;
    const CResultHeader header = {RESULT_MAGIC, result.m_bHeaderOk ? 1u : 0u, result.m_bStreamBroken ? 1u : 0u,
                                  static_cast<uint32_t>(result.m_vecEntries.size()), result.m_qwBytes};
    return WriteFileAtomically(strOut + ".bin", &header, sizeof(header), result.m_vecEntries.data(),
                               result.m_vecEntries.size() * sizeof(CReaderEntry)) ? 0 : 1;
}

bool SetBenchReaderOutput(const std::string& strOut)
{
    return setenv(READER_OUT_ENV, strOut.c_str(), 1) == 0;
}

pid_t WaitBenchReaderPid(const std::string& strOut, int32_t nTimeoutMs)
{
    const std::string strPath = strOut + ".pid";
    for (int32_t nWaited = 0; nWaited <= nTimeoutMs * 1000; nWaited += WAIT_STEP_US) {
        FILE* pFile = std::fopen(strPath.c_str(), "rb");
        if (pFile != nullptr) {
            int32_t nPid = -1;
            const bool bOk = std::fread(&nPid, sizeof(nPid), 1, pFile) == 1;
            std::fclose(pFile);
            return bOk && nPid > 0 ? static_cast<pid_t>(nPid) : -1;
        }
        usleep(WAIT_STEP_US);
    }
    return -1;
}

bool LoadBenchReaderResult(const std::string& strOut, int32_t nTimeoutMs, CReaderResult* pResult)
{
    const std::string strPath = strOut + ".bin";
    FILE* pFile = nullptr;
    for (int32_t nWaited = 0; pFile == nullptr && nWaited <= nTimeoutMs * 1000; nWaited += WAIT_STEP_US) {
        pFile = std::fopen(strPath.c_str(), "rb");
        if (pFile == nullptr)
            usleep(WAIT_STEP_US);
    }
    if (pFile == nullptr)
        return false;
    CResultHeader header = {};
    bool bOk = std::fread(&header, sizeof(header), 1, pFile) == 1 && header.m_dwMagic == RESULT_MAGIC;
    if (bOk) {
        pResult->m_bHeaderOk = header.m_dwHeaderOk != 0;
        pResult->m_bStreamBroken = header.m_dwStreamBroken != 0;
        pResult->m_qwBytes = header.m_qwBytes;
        pResult->m_vecEntries.resize(header.m_dwEntries);
        bOk = header.m_dwEntries == 0
            || std::fread(pResult->m_vecEntries.data(), sizeof(CReaderEntry), header.m_dwEntries, pFile)
                == header.m_dwEntries;
    }
    std::fclose(pFile);
    return bOk;
}
