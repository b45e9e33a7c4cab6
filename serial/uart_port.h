// One serial port behind two byte rings and two worker threads: the reader
// thread moves received bytes into the receive ring and reports each comm event
// through a hook; the writer thread sends the transmit ring in 512-byte chunks.
// The owner opens, closes, writes and reads on its own thread only.
//
// The comm-event hook is called with exceptions swallowed. It runs on the
// reader thread (and on the owner's thread at the end of Open and Close): it
// must not wait for the owner, who may be inside Close waiting for the reader
// to end. It may Close the port; it must not delete it.
//
// A device that goes away while open (unplugged) is reported once as EV_ERR;
// the reader then stops reading and the writer stops writing until Close.
//
// Flow control: the reader takes from the driver only what the receive ring has
// room for. With the ring full it pauses until the consumer takes bytes, so the
// driver (and the kernel, and the USB link behind it) hold the rest. Bytes lost
// anyway (the driver's own overrun) are marked as a gap at their place in the
// received stream, so that a consumer never joins the bytes on both sides.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "base/os_error.h"
#include "serial/comm_api.h"
#include "serial/ring_buffer.h"

constexpr int32_t UART_RX_RING_SIZE = 131072;  // one second and more of the line rate
constexpr int32_t UART_TX_RING_SIZE = 2048;
constexpr int32_t UART_READ_BLOCK = 2048;      // bytes per driver read
constexpr int32_t UART_WRITE_CHUNK = 512;      // bytes per driver write
// What the reader waits for: every event but EV_BREAK and EV_PERR.
constexpr uint32_t UART_READER_MASK = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_ERR
    | EV_RING | EV_RX80FULL;
static_assert(UART_READER_MASK == 0x5BF, "the reader's event mask");
constexpr uint32_t UART_MODEM_EVENTS = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// Handed to the hook (beside the comm events) when the time set with SetWakeAt
// has come; outside the bits of any comm event.
constexpr uint32_t UART_EV_WAKE_DUE = 0x10000;
// With the receive ring full, the reader looks again at least this often (also
// for a consumer that empties the ring without Read or DiscardRx).
constexpr int32_t UART_RX_ROOM_RECHECK_MS = 50;

// The latest place in the received stream where bytes were lost.
struct CRxGapMark {
    uint64_t m_qwGaps;    // gaps so far (object's life)
    uint64_t m_qwBytes;   // bytes known lost in them (0 where the driver cannot say)
    uint64_t m_qwAt;      // stream position of the latest gap: bytes stored in the ring before it
};

class CUartPort final {
public:
    // The comm-event hook: pContext is the one given with it.
    typedef void (*PFN_COMM_EVENT)(void* pContext, CUartPort* pPort, uint32_t dwEvtMask);

    // nRxRingSize: the receive ring's capacity (it holds one byte less).
    explicit CUartPort(int32_t nRxRingSize = UART_RX_RING_SIZE);
    ~CUartPort();

    // Closes the port, then selects COMn for the next Open.
    void SetPort(int32_t nPort);
    // Closes the port, then has the next Open take this device node (a path
    // such as /dev/pts/3) instead of COMn; SetPort goes back to COMn.
    void SetDevice(const std::string& strDevice);
    // The hook that hears every comm event, with the owner's context (null:
    // none). Only while no worker thread exists (closed, and joined after a
    // Close from the hook itself); false, and nothing changed, otherwise.
    bool SetCommEventHook(PFN_COMM_EVENT pfnHook, void* pContext);
    int32_t Open();                 // 1 ok / already open, 0 failure
    void Close();                   // harmless when closed
    // Consumer side of the receive ring (one thread at a time: the owner, or the
    // comm-event hook on the reader thread).
    int32_t Read(uint8_t* pDst, int32_t nLen);
    int32_t DiscardRx(int32_t nLen);
    // The oldest received bytes where they lie in the ring, as many as follow in
    // one piece (0: none); taken only by a Read or DiscardRx.
    int32_t PeekRx(const uint8_t** ppSrc) const;
    int32_t Write(const uint8_t* pSrc, int32_t nLen);
    int32_t WriteString(const char* psz);
    // Only while open. PurgeRx empties the receive ring at once; PurgeTx has the
    // writer thread drop what was accepted so far, at once when bAbort cancels a
    // write stalled on a full line, else at its next wake-up.
    void PurgeRx(bool bAbort);
    void PurgeTx(bool bAbort);
    // EscapeCommFunction while open: 1 done, 0 failed (or closed).
    int32_t Escape(uint32_t dwFunc);
    // The reader thread wakes by this steady-clock time (SteadyNowUs) even if
    // nothing arrives, and hands the hook UART_EV_WAKE_DUE once; 0 for none.
    // Replaces the time set before, from the reader's next wait on: set it
    // from the hook, on the reader thread.
    void SetWakeAt(uint64_t qwAtUs) { m_qwWakeAtUs.store(qwAtUs, std::memory_order_relaxed); }

    bool IsOpen() const { return m_bOpen; }
    // Bytes waiting in the receive ring (for the consumer) and in the transmit
    // ring (for the writer thread); any thread, a snapshot.
    int32_t GetRxCount() const;
    int32_t GetTxCount() const;
    // DTR and RTS as the port holds them, or will set them at the next Open. A
    // new port would raise both at its first Open; a Close (SetPort and
    // SetDevice close too) sets them back to what the last Open applied, low
    // when none has run. Escape changes them while open, until the Close.
    bool IsDtrRaised() const { return m_bDtr; }
    bool IsRtsRaised() const { return m_bRts; }
    // The modem status bits (MS_*) last read; 0 while closed.
    uint32_t GetModemStatus() const { return m_dwModemStatus.load(std::memory_order_relaxed); }
    // Received bytes that did not fit the receive ring, over the object's life
    // (none while the reader keeps to the ring's room).
    uint64_t GetRxOverflowBytes() const { return m_qwRxOverflow.load(std::memory_order_relaxed); }
    // Stream positions, in bytes since construction: stored into the receive
    // ring by the reader, taken out by the consumer (Read, DiscardRx, PurgeRx).
    uint64_t GetRxStored() const { return m_qwRxStored.load(std::memory_order_acquire); }
    uint64_t GetRxTaken() const { return m_qwRxTaken.load(std::memory_order_acquire); }
    CRxGapMark GetRxGapMark() const;
    // Producer side (the reader thread). StoreRx puts received bytes into the
    // receive ring and returns how many fit (what does not is counted as a
    // gap); NoteRxGap says qwLost bytes (0: unknown) were lost right after
    // everything stored so far.
    int32_t StoreRx(const uint8_t* pSrc, int32_t nLen);
    void NoteRxGap(uint64_t qwLost);
    // Waits (bounded) until the transmit ring and the driver's output queue are
    // empty; true if drained. Used before closing after a stop command.
    bool DrainTx(int32_t nTimeoutMs);
    // Why the last Open failed (kind None after a good one); owner's thread.
    const COsError& GetLastOpenError() const { return m_errLastOpen; }
    const char* GetDevicePath() const { return m_strDevicePath.c_str(); }
    // True once the device went away while open (unplugged, other end closed).
    bool IsLineLost() const { return m_bLineLost.load(std::memory_order_acquire); }

    // Whether each worker thread is inside its body now (any thread).
    bool IsReaderRunning() const { return m_bReaderAlive.load(std::memory_order_acquire); }
    bool IsWriterRunning() const { return m_bWriterAlive.load(std::memory_order_acquire); }
    // True when the port holds nothing of an open: no device handle, no events,
    // no worker thread running or left to join (a Close from the comm-event
    // hook leaves the reader to be joined by the next Open, Close or the
    // destructor). Owner's thread.
    bool IsReleased() const;
    // The worker threads' native handles, for measuring their CPU time;
    // a default value while the thread does not exist. Owner's thread.
    std::thread::native_handle_type GetReaderThreadHandle();
    std::thread::native_handle_type GetWriterThreadHandle();

    CUartPort(const CUartPort&) = delete;
    CUartPort& operator=(const CUartPort&) = delete;

private:
    struct CTxChunk;   // the writer's chunk in flight (uart_threads.cpp)

    int32_t FailOpen(const COsError& err);
    bool OpenDevice();
    bool CreateEvents();
    COsError StartThreads();
    COsError StartThread(std::thread& th, std::atomic<bool>& bRun, void (CUartPort::*pfnBody)());
    void StopThreads();
    bool JoinThreads();
    void ReleaseEvents();
    void NoteRxTaken(int32_t nTaken);
    void NoteRxStored(int32_t nStored);
    void OnCommEvent(uint32_t dwMask);
    // The thread bodies and their steps (uart_threads.cpp).
    void ReaderThread();
    void WriterThread();
    bool WaitForRxRoom();
    int32_t ReceiveQueued();
    void NoteDriverErrors(uint32_t dwErrors);
    void ApplyTxPurge(CTxChunk& chunk);

    COMM_HANDLE m_hComm;
    COMM_DCB m_dcb;
    bool m_bOpen;
    bool m_bDtr;
    bool m_bRts;
    int32_t m_nPort;
    std::string m_strDeviceNode;            // opened instead of COMn when set
    std::string m_strDevicePath;
    COsError m_errLastOpen;
    CRingBuffer* m_pRxBuffer;
    CRingBuffer* m_pTxBuffer;
    PFN_COMM_EVENT m_pfnCommEvent;
    void* m_pHookContext;                   // the owner's, handed to its hook
    std::thread m_hReaderThread;            // not joinable while no reader runs
    std::atomic<bool> m_bReaderRun;
    std::atomic<bool> m_bReaderAlive;
    std::thread m_hWriterThread;
    std::atomic<bool> m_bWriterRun;
    std::atomic<bool> m_bWriterAlive;
    COMM_OVERLAPPED m_ovRead;
    COMM_OVERLAPPED m_ovWrite;
    COMM_EVENT m_hReaderStop;
    COMM_EVENT m_hWriterStop;
    COMM_EVENT m_hTxReady;
    COMM_EVENT m_hRxRoom;                   // the consumer took bytes while the reader waited for room
    std::atomic<bool> m_bRxWaitRoom;
    std::atomic<uint32_t> m_dwModemStatus;
    std::atomic<uint64_t> m_qwWakeAtUs;    // SetWakeAt's time, 0 for none

    // Received bytes dropped because the receive ring was full.
    std::atomic<uint64_t> m_qwRxOverflow;
    std::atomic<uint64_t> m_qwRxStored;
    std::atomic<uint64_t> m_qwRxTaken;
    std::atomic<uint64_t> m_qwRxGaps;
    std::atomic<uint64_t> m_qwRxGapBytes;
    std::atomic<uint64_t> m_qwRxGapAt;
    std::atomic<bool> m_bLineLost;

    // Transmit accounting, in bytes since construction. The owner counts what
    // Write accepted; the writer counts what it took from the ring and what is
    // finished (handed to the driver or purged). A purge asks the writer, the
    // ring's consumer, to drop everything the owner had written up to then.
    std::atomic<uint64_t> m_qwTxAccepted;
    std::atomic<uint64_t> m_qwTxTaken;
    std::atomic<uint64_t> m_qwTxFinished;
    std::atomic<uint64_t> m_qwTxPurgeTo;
};
