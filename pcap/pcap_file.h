// A pcap capture written to a file, to standard output, or into a pipe that
// somebody else made and reads (Wireshark's extcap FIFO): the same records as
// the pipe link, behind one global header. Writes block: a file is the end of
// the line, and a reader that falls behind holds the capture side back, whose
// receive ring then marks what it could not keep as a gap. A reader that
// stops reading for good would hold it back for ever: Abort ends that wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/os_error.h"
#include "pcap/pcap_record_sink.h"

enum class EPcapFileOpen : int32_t {
    CreateNew,   // a new file; an existing one is an error (never overwritten)
    Replace,     // a new file, or an existing one truncated (the user chose it)
                 // (both: a regular file only, never waited for; a FIFO, device or
                 // pipe, a link to one or to nothing is refused: EOsError::WrongKind)
    Existing,    // a FIFO or named pipe that exists already, opened for writing; anything
                 // else is refused untouched (EOsError::WrongKind)
    Stdout,      // the process's standard output (the path is ignored)
};

struct CPcapFileStats {
    uint64_t m_qwRecordsWritten = 0;   // records written whole
    uint64_t m_qwBytesWritten = 0;     // pcap bytes, the global header included
    uint64_t m_qwRecordsDropped = 0;   // records not in the output, whatever the cause
    // Of those, the records lost because the output failed: the write that
    // failed (disk full, I/O error, the reader gone) and every one after it.
    // The rest were given up by Abort on a pipe that had no room.
    uint64_t m_qwRecordsWriteFailed = 0;
};

class CPcapFile : public IPcapRecordSink {
public:
    CPcapFile();
    ~CPcapFile() override;   // closes
    CPcapFile(const CPcapFile&) = delete;
    CPcapFile& operator=(const CPcapFile&) = delete;

    // Opens and writes the global header. False: GetLastError says why
    // (EOsError::AlreadyExists for CreateNew on an existing file).
    bool Open(const std::string& strPath, EPcapFileOpen eHow);
    // What the records are (default 195). Any thread; Open takes the type in
    // force then for its global header and every record until the next Open,
    // so a change during a capture cannot mix kinds in one file.
    void SetLinkType(EPcapLinkType eLinkType);
    // Capture side: one thread at a time, and not while Open or Close runs
    // (the batch is the capture side's own; only the flush locks).
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;
    // Writes what is pending and closes; false when any write failed.
    bool Close();
    bool IsOpen() const;
    // A write failed (disk full, the reader went away): later batches are
    // dropped and counted; the owner should end the capture. A regular file
    // (not standard output) is cut back to the end of its last whole record,
    // so that it stays a readable capture holding exactly the records and
    // bytes that GetStats counts as written. Any thread.
    bool IsBroken() const;
    // Any thread: a pipe whose reader has gone breaks the file now, as the
    // next write would (EOsError::Gone), so that a quiet line still ends the
    // capture. Never waits for a write under way; true when broken.
    bool CheckReaderGone();
    CPcapFileStats GetStats() const;          // any thread
    COsError GetLastError() const;            // any thread
    // Any thread, for good: the waits for a pipe's reader end (an Open that
    // waits for a FIFO's reader fails; a write into a full pipe gives up).
    // Records that a pipe takes at once are still written; a batch part that
    // it cannot take is dropped whole records at a time (counted), so the
    // stream stays readable. The file is not broken by that.
    void Abort();

private:
    // Whole records up to this offset in m_batch go in one write.
    struct CChunk {
        size_t m_nEnd;
        uint64_t m_qwRecords;
    };

    void WriteBatchLocked();
    bool WriteLocked(const uint8_t* pData, size_t nLen, size_t* pnDone);
    uint64_t KeepWholeRecordsLocked(const uint8_t* pData, size_t nDone);
    bool CutBackLocked(uint64_t qwEnd);
    void DropLocked(uint64_t qwRecords);
    void SetErrorLocked(const COsError& err);

    // Guards the handle, the batch and the error: the capture side writes
    // while the owner may close or ask.
    mutable std::mutex m_mutex;
    intptr_t m_hFile;
    CByteBatch m_batch;                // whole records
    std::vector<CChunk> m_vecChunks;   // m_batch cut so that a pipe takes each whole or not at all
    uint64_t m_qwBatchRecords;
    bool m_bWriteFailed;               // any write failed since Open
    bool m_bMayCut;                    // not standard output: a regular file may be cut back
    bool m_bWriteMayBlock;             // a write may block: room is waited for first
    COsError m_errLast;
    EPcapLinkType m_eLinkType;         // the next Open's
    EPcapLinkType m_eOpenLinkType;     // the open file's
    std::atomic<bool> m_bOpen;
    std::atomic<bool> m_bBroken;
    std::atomic<bool> m_bAborted;
    const intptr_t m_hWake;            // signalled by Abort
    std::atomic<uint64_t> m_qwRecordsWritten;
    std::atomic<uint64_t> m_qwBytesWritten;
    std::atomic<uint64_t> m_qwRecordsDropped;
    std::atomic<uint64_t> m_qwRecordsWriteFailed;
};
