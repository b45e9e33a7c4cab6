// The FIFO instance behind a PIPE_HANDLE and the eventfd behind a PIPE_WAKE,
// shared by the POSIX pipe files.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <string>

#include "pcap/pipe_api.h"

class CFifoInstance {
public:
    int m_nDirFd = -1;
    int m_nFifoFd = -1;   // our write end while a client is connected
    int m_nPinFd = -1;    // O_PATH: keeps the FIFO's inode (and so its number) ours
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::string m_strPath;
};

inline CFifoInstance* FromHandle(PIPE_HANDLE hPipe)
{
    return hPipe == INVALID_PIPE_HANDLE ? nullptr : reinterpret_cast<CFifoInstance*>(hPipe);
}

inline int WakeFd(PIPE_WAKE hWake)
{
    return hWake == INVALID_PIPE_WAKE || hWake == PIPE_WAKE_NO_WAIT ? -1 : static_cast<int>(hWake);
}

inline bool WakeSignalled(int nWakeFd)
{
    if (nWakeFd < 0)
        return false;
    struct pollfd pfd = {nWakeFd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}
