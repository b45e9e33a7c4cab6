// A pcap capture written to a file, to standard output, or into a pipe that
// somebody else made and reads (Wireshark's extcap FIFO): the same records as
// the pipe link, behind one global header. Writes block: a file is the end of
// the line, and a reader that falls behind holds the capture side back, whose
// receive ring then marks what it could not keep as a gap.
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
    Existing,    // a FIFO or named pipe that exists already, opened for writing
    Stdout,      // the process's standard output (the path is ignored)
};

struct CPcapFileStats {
    uint64_t m_qwRecordsWritten = 0;   // records written whole
    uint64_t m_qwBytesWritten = 0;     // pcap bytes, the global header included
    uint64_t m_qwRecordsDropped = 0;   // records of batches a failed write lost
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
    // Capture side (one thread at a time).
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;
    // Writes what is pending and closes; false when any write failed.
    bool Close();
    bool IsOpen() const;
    // A write failed (disk full, the reader went away): later batches are
    // dropped and counted; the owner should end the capture. Any thread.
    bool IsBroken() const;
    CPcapFileStats GetStats() const;          // any thread
    COsError GetLastError() const;            // any thread

private:
    bool WriteLocked(const uint8_t* pData, size_t nLen);
    void SetErrorLocked(const COsError& err);

    // Guards the handle, the batch and the error: the capture side writes
    // while the owner may close or ask.
    mutable std::mutex m_mutex;
    intptr_t m_hFile;
    std::vector<uint8_t> m_vecBatch;   // whole records, written in one go
    uint64_t m_qwBatchRecords;
    bool m_bWriteFailed;               // any write failed since Open
    COsError m_errLast;
    std::atomic<bool> m_bOpen;
    std::atomic<bool> m_bBroken;
    std::atomic<uint64_t> m_qwRecordsWritten;
    std::atomic<uint64_t> m_qwBytesWritten;
    std::atomic<uint64_t> m_qwRecordsDropped;
};
