// The file-like output of a capture: a pcap file, standard output, or a FIFO
// or named pipe that somebody else made and reads (Wireshark's extcap FIFO).
// It passes the first records on up to a frame limit, and ends with a grace
// for its reader: a reader that keeps its end open but no longer reads would
// hold the serial reader thread in its write, so the stop command's answer
// would never be cut and the port would never close.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pcap/pcap_file.h"
#include "pcap/pcap_pipe.h"

class CCaptureOutput : public IPcapRecordSink {
public:
    CCaptureOutput() = default;
    ~CCaptureOutput() override;
    CCaptureOutput(const CCaptureOutput&) = delete;
    CCaptureOutput& operator=(const CCaptureOutput&) = delete;

    // Opens and writes the global header; false: GetLastError says why.
    bool Open(const std::string& strPath, EPcapFileOpen eHow);
    bool IsOpen() const { return m_file.IsOpen(); }
    // What the records are (default 195); Open takes the type in force then.
    void SetLinkType(EPcapLinkType eLinkType) { m_file.SetLinkType(eLinkType); }
    // Any thread: an open or a write that waits for a reader gives up.
    void Abort() { m_file.Abort(); }
    // Records past qwMax (0: no limit) are not taken; fnReached runs once, on
    // the serial reader thread, when the last one is in. Before the capture.
    void SetLimit(uint64_t qwMax, std::function<void()> fnReached);

    // Capture side.
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;

    // The reader gets dwGraceMs from now to take what is still coming, then
    // the waits for it end (the first call counts). Any thread.
    void BeginEnd(uint32_t dwGraceMs);
    // Closes whole (ends the grace); false when any write failed. Nothing
    // may write into the output any more.
    bool Close();
    // A file this Open made or replaced that holds no record: removed, so
    // that it does not stand in the way of the next try (the user's old
    // content was replaced already). True when it was removed.
    bool RemoveIfUnused();
    // A named file that is no longer there (deleted, its filesystem gone).
    bool IsGone() const;

    // A write failed, or a pipe's reader has gone (looked at without
    // writing). Any thread.
    bool CheckBroken();
    COsError GetLastError() const { return m_file.GetLastError(); }
    CPcapFileStats GetStats() const { return m_file.GetStats(); }
    // The path, or "standard output".
    const std::string& GetName() const { return m_strName; }
    // A file the user named (not standard output, not a pipe of somebody else's).
    bool IsNamedFile() const { return m_eHow == EPcapFileOpen::CreateNew || m_eHow == EPcapFileOpen::Replace; }

private:
    void EndGrace();

    CPcapFile m_file;
    std::string m_strPath;
    std::string m_strName;
    EPcapFileOpen m_eHow = EPcapFileOpen::CreateNew;
    bool m_bCreated = false;            // this Open made or replaced a named file
    uint64_t m_qwRecordsAtOpen = 0;
    // The limit; reader thread once the capture runs.
    uint64_t m_qwMax = 0;
    uint64_t m_qwTaken = 0;
    std::function<void()> m_fnReached;
    // The grace: a thread that aborts the waits when it runs out.
    std::mutex m_mtxGrace;
    std::condition_variable m_cvGrace;
    bool m_bGraceEnded = false;
    std::thread m_thrGrace;
};

// The file's counts in the terms of the Stop summary.
CPcapPipeStats AsPipeStats(const CPcapFileStats& stats);
