// The server end of the pipe that Wireshark captures from: launches
// Wireshark on it, waits for it to connect, and writes the pcap stream — the
// global header once per client, then a record header and the payload per
// frame. When the client goes away mid-capture it waits for another one and
// starts the stream again for it.
//
// The capture side hands records over in batches (AddRecord, FlushRecords)
// and never waits. While the writer thread is idle with nothing queued and a
// client connected, the capture side writes the batch itself, non-blocking
// (a thread hand-off per batch costs more than the write); what the pipe
// does not take at once goes to the writer thread, and batches queue behind
// it (bounded) until it has drained them. The writer thread does every wait.
// Open and Disconnect come from the window thread and never block on the
// client.
//
// States: Closed (no pipe instance), Idle (an instance, no client), Waiting
// (for the first client after Open, or for a new one after the client went)
// and Connected (a client that has had the global header).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pcap/pcap_record_sink.h"
#include "pcap/pipe_api.h"

constexpr uint32_t PIPE_CONNECT_TIMEOUT_MS = 25000;     // first client after the launch
constexpr uint32_t PIPE_RECONNECT_TIMEOUT_MS = 20000;   // a new client after the old one went
constexpr uint32_t PIPE_QUEUE_BYTES = 4 * 1024 * 1024;  // bounded queue between capture side and writer

constexpr int32_t PIPE_STATE_CLOSED = 0;
constexpr int32_t PIPE_STATE_IDLE = 1;
constexpr int32_t PIPE_STATE_CONNECTED = 2;
constexpr int32_t PIPE_STATE_WAITING = 3;   // connect or reconnect wait in progress

// Why the last Open failed (at once, or later through PIPE_EVENT_CONNECT_FAILED).
constexpr int32_t PIPE_FAIL_NONE = 0;
constexpr int32_t PIPE_FAIL_CREATE = 1;           // the pipe could not be made (GetLastPipeError)
constexpr int32_t PIPE_FAIL_LAUNCH = 2;           // Wireshark did not start (GetLastLaunchError)
constexpr int32_t PIPE_FAIL_CONNECT_TIMEOUT = 3;  // no client within the wait
constexpr int32_t PIPE_FAIL_CONNECT_ERROR = 4;    // the wait failed (GetLastPipeError)

// Reported on the pipe's writer thread through IPcapPipeEvents::OnPipeEvent.
constexpr int32_t PIPE_EVENT_CONNECTED = 1;          // first client after Open connected, global header sent
constexpr int32_t PIPE_EVENT_CONNECT_FAILED = 2;     // no client within the connect wait, or the wait failed
                                                     //   (GetLastOpenFailure(): PIPE_FAIL_CONNECT_TIMEOUT / _ERROR)
constexpr int32_t PIPE_EVENT_CLIENT_GONE = 3;        // the client closed its end mid-capture; waiting for another
constexpr int32_t PIPE_EVENT_CLIENT_BACK = 4;        // a new client came within the reconnect wait (got header + the interrupted record again)
constexpr int32_t PIPE_EVENT_RECONNECT_GAVE_UP = 5;  // the reconnect wait ended without a client: records are dropped ("no reader")

class IPcapPipeEvents {
public:
    virtual ~IPcapPipeEvents() = default;
    virtual void OnPipeEvent(int32_t nEvent) = 0;   // pipe writer thread; must not call back into the pipe
};

struct CPcapPipeStats {                  // monotonic over the object's life; the owner takes differences
    uint64_t m_qwRecordsQueued;          // records accepted into the queue
    uint64_t m_qwRecordsDelivered;       // records written whole to a client
    uint64_t m_qwBytesDelivered;         // pcap bytes written (headers included)
    uint64_t m_qwDroppedNoReader;        // records dropped: no client (after Stop / failed launch / reconnect gave up)
    uint64_t m_qwDroppedSlowReader;      // records dropped: queue full, or still queued when Disconnect cut the client
};

class CPcapPipe : public IPcapRecordSink {
public:
    CPcapPipe();
    ~CPcapPipe() override;   // drops the client, ends the writer thread, removes the FIFO
    CPcapPipe(const CPcapPipe&) = delete;
    CPcapPipe& operator=(const CPcapPipe&) = delete;

    void SetEvents(IPcapPipeEvents* pEvents);   // before Open; null = no reports
    // Window thread, what the records are (default 195). Open takes the type
    // in force then: the global header written to every client that connects
    // until the next Open, and every record, carry that one (an atomic, read
    // on the writer thread and the capture side), so a change during a
    // capture waits for the next Open.
    void SetLinkType(EPcapLinkType eLinkType);

    // Window thread. Creates the pipe unless one is kept from an earlier
    // capture and launches pszPath with "-i <pipe> -k". 1 when launched: the
    // writer thread then waits for the client and reports
    // PIPE_EVENT_CONNECTED or PIPE_EVENT_CONNECT_FAILED. 0 at once when the
    // pipe cannot be made or the launch fails. Never blocks on the client.
    // Prints its diagnostic lines on standard output.
    int32_t Open(const char* pszPath);

    // Window thread. Takes effect at once whatever the client does: ends a
    // wait or a write in progress, counts the records still queued as lost,
    // drops the client. The pipe stays for the next Open.
    void Disconnect();

    // Capture side (one thread at a time). Records queue while a client is
    // connected or awaited; otherwise, or when the queue is full, they are
    // dropped whole and counted.
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;
    // One record stamped now, as a batch of its own.
    void WritePacket(const uint8_t* pData, int32_t nLen);

    CPcapPipeStats GetStats() const;           // any thread
    void SetQueueBytes(uint32_t dwBytes);      // tests; before Open
    void SetTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);   // tests; before Open

    // Why the last launch failed (kind None if it did not); window thread.
    const COsError& GetLastLaunchError() const;
    const char* GetPipePath() const;      // the FIFO path; window thread
    int32_t GetState() const;             // PIPE_STATE_*; any thread
    int32_t GetLastOpenFailure() const;   // PIPE_FAIL_*; any thread
    // The last create or connect error (kind None if none): read on the window
    // thread, after Open failed or PIPE_EVENT_CONNECT_FAILED.
    const COsError& GetLastPipeError() const;

private:
    // Writer thread.
    void RunWriter();
    bool WaitForClient(uint32_t dwTimeoutMs, int32_t* pnWait);
    int32_t TakeBatch();
    int32_t TakeBatchLocked(std::unique_lock<std::mutex>& lock);
    int32_t WriteOut();
    int32_t WriteOutVia(PIPE_WAKE hWake, int32_t* pnMoved);   // owner of m_outBatch
    void FinishCutRecord();                                    // writer thread, at Stop
    void NoteWritten(int32_t nMoved);                          // under m_mutex
    bool WriteDirect();                                        // capture side, under m_mutex
    bool QueueBatch();                                         // capture side, under m_mutex
    bool Reconnect();
    void WriteGlobalHeader();
    void GiveUp();
    void DropAll(bool bNoReader);   // also the window thread once the writer has ended
    void Report(int32_t nEvent);
    static void PrintPipeOpenError();

    // Window thread: ends the writer and counts what it left.
    void StopWriter();
    void SetPipeError(const COsError& err);   // any thread

    PIPE_HANDLE m_hPipe;
    PIPE_WAKE m_hWake;                  // ends the writer's waits and writes
    IPcapPipeEvents* m_pEvents;
    uint32_t m_dwConnectTimeoutMs;
    uint32_t m_dwReconnectTimeoutMs;
    uint32_t m_dwQueueBytes;
    std::thread m_writer;

    EPcapLinkType m_eLinkType;                     // window thread: the next Open's
    std::atomic<EPcapLinkType> m_eStreamLinkType;  // the stream's since the last Open
    std::atomic<int32_t> m_nState;
    COsError m_errLaunch;                 // window thread
    std::atomic<int32_t> m_nLastOpenFailure;
    COsError m_errPipe;                   // under m_mutex (the writer sets it)
    mutable COsError m_errPipeShown;      // window thread: the copy GetLastPipeError hands out
    std::string m_strInstancePath;
    mutable std::string m_strPipePath;

    // Capture side only: the batch being collected.
    CByteBatch m_batch;
    uint64_t m_qwBatchRecords;

    // Shared, under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_cvQueue;
    CByteBatch m_queue;                  // whole records: 16-byte header + payload each
    uint64_t m_qwQueueRecords;
    size_t m_nInFlightBytes;             // taken by the writer, not yet delivered
    bool m_bAccepting;                   // a client is connected or awaited
    bool m_bStop;                        // Disconnect or destruction: the writer ends
    bool m_bWriterIdle;                  // connected, waiting for records with none left: the
                                         //   capture side may write (and owns m_outBatch meanwhile)

    // Writer thread only (the capture side while m_bWriterIdle, under m_mutex;
    // the window thread once the writer has ended).
    CByteBatch m_outBatch;               // the batch being written
    size_t m_nOutPos;                    // start of the first record not yet delivered whole
    size_t m_nOutDone;                   // bytes of m_outBatch the current client has (>= m_nOutPos)
    uint64_t m_qwOutRecords;             // records in m_outBatch from m_nOutPos on
    std::vector<uint32_t> m_vEnds;       // where each of those records ends, for the write

    std::atomic<uint64_t> m_qwRecordsQueued;
    std::atomic<uint64_t> m_qwRecordsDelivered;
    std::atomic<uint64_t> m_qwBytesDelivered;
    std::atomic<uint64_t> m_qwDroppedNoReader;
    std::atomic<uint64_t> m_qwDroppedSlowReader;
};
