// Shared between the POSIX halves of the comm layer; not for use above it.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_api.h"
#include "serial/comm_in_queue.h"

void CommSetLastError(int32_t nError);
int CommEventFd(COMM_EVENT h);   // the descriptor a wait polls, -1 for no event

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
    CCommInQueue m_in;   // what the event wait found readable, read at once
};

CPosixComm* CommFromHandle(COMM_HANDLE h);
int32_t CommFail(int32_t nError);   // sets the last error, returns 0
void CommSignalFd(int fd);
void CommDrainFd(int fd);
