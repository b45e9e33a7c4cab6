// Shared by the POSIX and Win32 halves of the comm layer; not for use above it.
// The input queue: what the event wait's read brought in, handed out by the
// next reads, so that a wake-up costs one read and the queue's size needs no
// extra call. Used by the one thread that waits for events and reads; a
// receive purge from another thread is only counted, and the reading thread
// empties the queue when it next looks.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_api.h"

class CCommInQueue {
public:
    static constexpr uint32_t SIZE = 4096;

    // Reading thread. Bytes queued, after any purge made since the last look.
    uint32_t Queued();
    // Reading thread: the whole buffer to read into, then how much came.
    uint8_t* FillArea() { return m_aby; }
    void Filled(uint32_t dwGot);
    // Reading thread: up to dwLen queued bytes into pDst; how many.
    uint32_t Take(uint8_t* pDst, uint32_t dwLen);
    // Any thread: a receive purge; the reading thread drops the queue.
    void Clear() { m_dwClears.fetch_add(1, std::memory_order_acq_rel); }

private:
    std::atomic<uint32_t> m_dwClears { 0 };
    uint32_t m_dwClearsSeen = 0;
    uint32_t m_dwHead = 0;
    uint32_t m_dwTail = 0;
    uint8_t m_aby[SIZE];
};

// An event there without waiting: EV_RXCHAR (watched in dwMask) with bytes
// queued, or EV_TXEMPTY (watched) once the output written since the last one
// (bTxPending) has drained. Sets *pbTxWatch while it still drains: the wait
// must look again soon.
bool CommTakeReadyEvent(COMM_HANDLE h, CCommInQueue& in, std::atomic<bool>& bTxPending, uint32_t dwMask,
    uint32_t* pdwMask, bool* pbTxWatch);
