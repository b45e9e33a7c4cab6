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
      m_bMayCut(false),
      m_bWriteMayBlock(true),
      m_eLinkType(EPcapLinkType::Ieee802154WithFcs),
      m_eOpenLinkType(EPcapLinkType::Ieee802154WithFcs),
      m_bOpen(false),
      m_bBroken(false),
      m_bAborted(false),
      m_hWake(FileWakeCreate()),
      m_qwRecordsWritten(0),
      m_qwBytesWritten(0),
      m_qwRecordsDropped(0),
      m_qwRecordsWriteFailed(0)
{
}

CPcapFile::~CPcapFile()
{
    Close();
    FileWakeClose(m_hWake);
}

bool CPcapFile::Open(const std::string& strPath, EPcapFileOpen eHow)
{
    Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bWriteFailed = false;
    m_bBroken.store(false);
    m_errLast = COsError();
    m_eOpenLinkType = m_eLinkType;
    m_batch.Clear();
    m_vecChunks.clear();
    m_qwBatchRecords = 0;
    m_qwRecordsWritten.store(0);
    m_qwBytesWritten.store(0);
    m_qwRecordsDropped.store(0);
    m_qwRecordsWriteFailed.store(0);
    // Standard output may be a file that others write too: never cut.
    m_bMayCut = eHow != EPcapFileOpen::Stdout;
    COsError err;
    const QM_FILE hFile = FileOpenForWrite(strPath, FileOpenOf(eHow), m_hWake, &err);
    if (hFile == INVALID_QM_FILE) {
        m_errLast = err;
        return false;
    }
    m_hFile = hFile;
    m_bWriteMayBlock = FileWriteMayBlock(hFile);
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader, m_eOpenLinkType);
    size_t nDone = 0;
    if (!WriteLocked(byHeader, sizeof byHeader, &nDone)) {
        // A reader that left before the header, or a full disk: nothing worth
        // keeping open, nor a part of a header in a file.
        if (!CutBackLocked(0))
            m_qwBytesWritten.store(nDone);
        if (!m_errLast.IsError())
            m_errLast = OsErrorOfKind(EOsError::TimedOut, "stopped before the header");
        FileClose(m_hFile, nullptr);
        m_hFile = INVALID_QM_FILE;
        m_bBroken.store(false);
        return false;
    }
    m_qwBytesWritten.store(sizeof byHeader);
    m_bOpen.store(true);
    return true;
}

void CPcapFile::SetLinkType(EPcapLinkType eLinkType)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eLinkType = eLinkType;
}

void CPcapFile::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    // Past the snaplen or negative, a record would make readers reject the rest.
    if (nLen < 0 || static_cast<uint32_t>(nLen) > PCAP_SNAPLEN || (pData == nullptr && nLen > 0))
        return;
    // No lock: the batch is the capture side's alone until its flush.
    AppendPcapRecord(m_batch, pData, nLen, tm, m_eOpenLinkType);
    ++m_qwBatchRecords;
    const size_t nEnd = m_batch.Size();
    const size_t nChunks = m_vecChunks.size();
    const size_t nLastStart = nChunks < 2 ? 0 : m_vecChunks[nChunks - 2].m_nEnd;
    if (nChunks == 0 || nEnd - nLastStart > FilePipeAtomicMax())
        m_vecChunks.push_back(CChunk { nEnd, 1 });   // a longer record goes alone
    else
        m_vecChunks.back() = CChunk { nEnd, m_vecChunks.back().m_qwRecords + 1 };
}

void CPcapFile::FlushRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_qwBatchRecords == 0)
        return;
    if (m_hFile != INVALID_QM_FILE && !m_bBroken.load())
        WriteBatchLocked();
    else
        DropLocked(m_qwBatchRecords);
    m_batch.Clear();
    m_vecChunks.clear();
    m_qwBatchRecords = 0;
}

void CPcapFile::Abort()
{
    m_bAborted.store(true);
    FileWakeSignal(m_hWake);
}

// Chunk by chunk: one a pipe could not take at all, once aborted, is dropped
// with the rest of the batch and the stream stays whole. One that failed
// midway keeps the whole records it wrote; the part of the next one is cut
// off a regular file, and left in a pipe, after which nothing may follow.
void CPcapFile::WriteBatchLocked()
{
    size_t nStart = 0;
    bool bGaveUp = false;
    for (const CChunk& chunk : m_vecChunks) {
        const uint8_t* pChunk = m_batch.Data() + nStart;
        const size_t nLen = chunk.m_nEnd - nStart;
        nStart = chunk.m_nEnd;
        size_t nDone = 0;
        if (bGaveUp || m_bBroken.load()) {
            DropLocked(chunk.m_qwRecords);
        } else if (WriteLocked(pChunk, nLen, &nDone)) {
            m_qwRecordsWritten.fetch_add(chunk.m_qwRecords);
            m_qwBytesWritten.fetch_add(nLen);
        } else {
            bGaveUp = true;
            const uint64_t qwKept = KeepWholeRecordsLocked(pChunk, nDone);
            m_qwRecordsWritten.fetch_add(qwKept);
            DropLocked(chunk.m_qwRecords - qwKept);
        }
    }
}

// After a write that moved nDone bytes of the whole records at pData and
// failed: the whole ones among them are counted as written (how many is
// returned), and a regular file is cut back to their end. What cannot be cut
// (a pipe, standard output, a cut that failed) stays counted in bytes.
uint64_t CPcapFile::KeepWholeRecordsLocked(const uint8_t* pData, size_t nDone)
{
    uint64_t qwRecords = 0;
    size_t nWhole = 0;
    while (nDone - nWhole >= static_cast<size_t>(PCAP_RECORD_HEADER_LEN)
           && PcapRecordSize(pData + nWhole) <= nDone - nWhole) {
        nWhole += PcapRecordSize(pData + nWhole);
        ++qwRecords;
    }
    const uint64_t qwEnd = m_qwBytesWritten.load() + nWhole;
    if (!CutBackLocked(qwEnd))
        m_qwBytesWritten.fetch_add(nDone);
    return qwRecords;
}

// Tried after every failed write, even one that reports no byte moved: an
// OS may have grown the file all the same. True: the file ends at qwEnd.
bool CPcapFile::CutBackLocked(uint64_t qwEnd)
{
    if (!m_bMayCut || !FileTruncate(m_hFile, qwEnd, nullptr))
        return false;
    m_qwBytesWritten.store(qwEnd);
    return true;
}

void CPcapFile::DropLocked(uint64_t qwRecords)
{
    m_qwRecordsDropped.fetch_add(qwRecords);
    if (m_bBroken.load())
        m_qwRecordsWriteFailed.fetch_add(qwRecords);
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

bool CPcapFile::CheckReaderGone()
{
    std::unique_lock<std::mutex> lock(m_mutex, std::try_to_lock);
    if (!lock.owns_lock() || m_hFile == INVALID_QM_FILE || m_bBroken.load())
        return m_bBroken.load();   // a write under way finds out by itself
    if (!FilePipeReaderGone(m_hFile))
        return false;
    SetErrorLocked(OsErrorOfKind(EOsError::Gone, "the reader closed the pipe"));
    m_bBroken.store(true);
    return true;
}

CPcapFileStats CPcapFile::GetStats() const
{
    CPcapFileStats stats;
    stats.m_qwRecordsWritten = m_qwRecordsWritten.load();
    stats.m_qwBytesWritten = m_qwBytesWritten.load();
    stats.m_qwRecordsDropped = m_qwRecordsDropped.load();
    stats.m_qwRecordsWriteFailed = m_qwRecordsWriteFailed.load();
    return stats;
}

COsError CPcapFile::GetLastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errLast;
}

// One write for the whole block where the OS takes it; a failure breaks the
// file for good, since a later batch after a cut one would be read as garbage.
// An aborted wait before any byte moved is no failure: nothing was cut.
// *pnDone: the bytes moved; the caller counts them.
bool CPcapFile::WriteLocked(const uint8_t* pData, size_t nLen, size_t* pnDone)
{
    size_t nDone = 0;
    COsError err;
    const bool bOk = FileWriteAll(m_hFile, pData, nLen, m_hWake, &nDone, &err, m_bWriteMayBlock);
    *pnDone = nDone;
    if (!bOk && !(nDone == 0 && m_bAborted.load() && err.m_eKind == EOsError::TimedOut)) {
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
