// Shared between the POSIX halves of the comm layer; not for use above it.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_api.h"
#include "serial/comm_in_queue.h"

void CommSetLastError(int32_t nError);
int CommEventFd(COMM_EVENT h);   // the descriptor a wait polls, -1 for no event
uint64_t CommEventSerial(COMM_EVENT h);   // the event's own number, never reused; 0 for no event

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
    // The event wait's epoll set: the wake and the port from the open on, the
    // caller's stop event from its first wait. Kept registered between waits,
    // so a wake-up costs the kernel no setting up; only the waiting thread
    // changes it.
    int m_fdEpoll = -1;
    uint64_t m_qwStopSerial = 0;   // the stop event registered (CommEventSerial), 0 for none
    int m_fdStop = -1;
    uint32_t m_dwPortEvents = 0;   // what is asked of the port: EPOLLIN while EV_RXCHAR is watched
};

CPosixComm* CommFromHandle(COMM_HANDLE h);
int32_t CommFail(int32_t nError);   // sets the last error, returns 0
void CommSignalFd(int fd);
// What an epoll registration of the event wait stands for (its data.u32).
constexpr uint32_t COMM_EPOLL_STOP = 0, COMM_EPOLL_WAKE = 1, COMM_EPOLL_PORT = 2;
bool CommEpollAdd(int fdEpoll, int fd, uint32_t dwEvents, uint32_t dwTag);   // errno set when false
void CommDrainFd(int fd);
