#include "pcap/pcap_file.h"

#include "pcap/file_api.h"

#include <algorithm>
#include <cstddef>

namespace {

EFileOpen FileOpenOf(EPcapFileOpen eHow)
{
    switch (eHow) {
    case EPcapFileOpen::CreateNew:
        return EFileOpen::CreateNew;
    case EPcapFileOpen::Replace:
        return EFileOpen::Replace;
    case EPcapFileOpen::Existing:
        return EFileOpen::Existing;
    default:
        return EFileOpen::Stdout;
    }
}

} // namespace

CPcapFile::CPcapFile()
    : m_hFile(INVALID_QM_FILE),
      m_qwBatchRecords(0),
      m_bWriteFailed(false),
      m_bOpen(false),
      m_bBroken(false),
      m_qwRecordsWritten(0),
      m_qwBytesWritten(0),
      m_qwRecordsDropped(0)
{
}

CPcapFile::~CPcapFile()
{
    Close();
}

bool CPcapFile::Open(const std::string& strPath, EPcapFileOpen eHow)
{
    Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bWriteFailed = false;
    m_bBroken.store(false);
    m_errLast = COsError();
    m_vecBatch.clear();
    m_qwBatchRecords = 0;
    m_qwRecordsWritten.store(0);
    m_qwBytesWritten.store(0);
    m_qwRecordsDropped.store(0);
    COsError err;
    const QM_FILE hFile = FileOpenForWrite(strPath, FileOpenOf(eHow), &err);
    if (hFile == INVALID_QM_FILE) {
        m_errLast = err;
        return false;
    }
    m_hFile = hFile;
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader);
    if (!WriteLocked(byHeader, sizeof byHeader)) {
        // A reader that left before the header: nothing worth keeping open.
        FileClose(m_hFile, nullptr);
        m_hFile = INVALID_QM_FILE;
        m_bBroken.store(false);
        return false;
    }
    m_bOpen.store(true);
    return true;
}

void CPcapFile::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    // Past the snaplen or negative, a record would make readers reject the rest.
    if (nLen < 0 || static_cast<uint32_t>(nLen) > PCAP_SNAPLEN || (pData == nullptr && nLen > 0))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t nAt = m_vecBatch.size();
    m_vecBatch.resize(nAt + PCAP_RECORD_HEADER_LEN + static_cast<size_t>(nLen));
    BuildPcapRecordHeader(m_vecBatch.data() + nAt, static_cast<uint32_t>(nLen), tm);
    if (nLen > 0)
        std::copy(pData, pData + nLen, m_vecBatch.begin() + static_cast<std::ptrdiff_t>(nAt + PCAP_RECORD_HEADER_LEN));
    ++m_qwBatchRecords;
}

void CPcapFile::FlushRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_qwBatchRecords == 0)
        return;
    const uint64_t qwRecords = m_qwBatchRecords;
    const bool bWritten = m_hFile != INVALID_QM_FILE && !m_bBroken.load() && WriteLocked(m_vecBatch.data(), m_vecBatch.size());
    if (bWritten)
        m_qwRecordsWritten.fetch_add(qwRecords);
    else
        m_qwRecordsDropped.fetch_add(qwRecords);
    m_vecBatch.clear();
    m_qwBatchRecords = 0;
}

bool CPcapFile::Close()
{
    FlushRecords();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hFile == INVALID_QM_FILE)
        return true;
    COsError err;
    if (!FileClose(m_hFile, &err))
        SetErrorLocked(err);
    m_hFile = INVALID_QM_FILE;
    m_bOpen.store(false);
    return !m_bWriteFailed;
}

bool CPcapFile::IsOpen() const
{
    return m_bOpen.load();
}

bool CPcapFile::IsBroken() const
{
    return m_bBroken.load();
}

CPcapFileStats CPcapFile::GetStats() const
{
    CPcapFileStats stats;
    stats.m_qwRecordsWritten = m_qwRecordsWritten.load();
    stats.m_qwBytesWritten = m_qwBytesWritten.load();
    stats.m_qwRecordsDropped = m_qwRecordsDropped.load();
    return stats;
}

COsError CPcapFile::GetLastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errLast;
}

// One write for the whole block where the OS takes it; a failure breaks the
// file for good, since a later batch after a cut one would be read as garbage.
bool CPcapFile::WriteLocked(const uint8_t* pData, size_t nLen)
{
    size_t nDone = 0;
    COsError err;
    const bool bOk = FileWriteAll(m_hFile, pData, nLen, &nDone, &err);
    m_qwBytesWritten.fetch_add(nDone);
    if (!bOk) {
        SetErrorLocked(err);
        m_bBroken.store(true);
    }
    return bOk;
}

void CPcapFile::SetErrorLocked(const COsError& err)
{
    m_bWriteFailed = true;
    m_errLast = err;
}
