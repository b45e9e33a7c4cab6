// Shared between the POSIX halves of the comm layer; not for use above it.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_api.h"

void CommSetLastError(int32_t nError);
int CommEventFd(COMM_EVENT h);   // the descriptor a wait polls, -1 for no event

constexpr uint32_t COMM_IN_BUFFER_SIZE = 4096;

// An open port.
struct CPosixComm {
    int m_fd = -1;
    int m_fdWake = -1;                         // eventfd: the mask changed or bytes were written
    std::atomic<uint32_t> m_dwMask { 0 };
    std::atomic<uint32_t> m_dwMaskChanges { 0 };
    std::atomic<bool> m_bTxPending { false };  // written since the last EV_TXEMPTY
    std::atomic<bool> m_bNoModemLines { false };
    // Purges with the abort bit: counted, and an eventfd each to wake a waiting read or write.
    int m_fdRxAbort = -1;
    int m_fdTxAbort = -1;
    std::atomic<uint32_t> m_dwRxAborts { 0 };
    std::atomic<uint32_t> m_dwTxAborts { 0 };
    // The input queue: what the event wait found readable, read at once, so that a
    // wake-up costs one read and the queue's size needs no extra call. Used by the
    // one thread that waits for events and reads; a receive purge from another
    // thread is only counted, and that thread empties the queue when it sees it.
    std::atomic<uint32_t> m_dwRxClears { 0 };
    uint32_t m_dwRxClearsSeen = 0;
    uint32_t m_dwInHead = 0;
    uint32_t m_dwInTail = 0;
    uint8_t m_abyIn[COMM_IN_BUFFER_SIZE];
};

CPosixComm* CommFromHandle(COMM_HANDLE h);
int32_t CommFail(int32_t nError);   // sets the last error, returns 0
void CommSignalFd(int fd);
void CommDrainFd(int fd);
