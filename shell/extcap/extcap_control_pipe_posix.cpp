// The toolbar's FIFOs: both opened O_NONBLOCK (a FIFO's open otherwise waits
// for the other side), the in end read through poll with a wake-up pipe.
#include "shell/extcap/extcap_control_pipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int NO_FD = -1;

bool IsFifo(int fd)
{
    struct stat st = {};
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

void CloseFd(int& fd)
{
    if (fd != NO_FD)
        close(fd);
    fd = NO_FD;
}

class CControlPipesPosix : public IControlPipes {
public:
    CControlPipesPosix()
    {
        int afd[2] = { NO_FD, NO_FD };
        if (pipe2(afd, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_fdWakeRead = afd[0];
            m_fdWakeWrite = afd[1];
        }
    }
    ~CControlPipesPosix() override
    {
        for (int* pFd : { &m_fdIn, &m_fdOut, &m_fdWakeRead, &m_fdWakeWrite })
            CloseFd(*pFd);
    }
    CControlPipesPosix(const CControlPipesPosix&) = delete;
    CControlPipesPosix& operator=(const CControlPipesPosix&) = delete;

    EControlOpen OpenIn(const std::string& strPath) override
    {
        CloseFd(m_fdIn);
        m_fdIn = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (m_fdIn == NO_FD)
            return EControlOpen::Failed;
        if (!IsFifo(m_fdIn)) {
            CloseFd(m_fdIn);
            return EControlOpen::Failed;
        }
        return EControlOpen::Open;
    }

    EControlRead Read(uint8_t* pBuf, size_t cbBuf, size_t& cbRead, uint32_t dwWaitMs) override
    {
        cbRead = 0;
        if (m_fdIn == NO_FD || m_fdWakeRead == NO_FD)
            return EControlRead::Failed;
        // Until a writer has come, Linux reports no POLLHUP on the FIFO: poll
        // waits for Wireshark rather than seeing an end.
        struct pollfd apfd[2] = { { m_fdIn, POLLIN, 0 }, { m_fdWakeRead, POLLIN, 0 } };
        const int nReady = poll(apfd, 2, static_cast<int>(dwWaitMs));
        if (nReady < 0)
            return errno == EINTR ? EControlRead::Idle : EControlRead::Failed;
        if (nReady == 0 || (apfd[1].revents & POLLIN) != 0)
            return EControlRead::Idle;
        const ssize_t n = read(m_fdIn, pBuf, cbBuf);
        if (n > 0) {
            cbRead = static_cast<size_t>(n);
            return EControlRead::Data;
        }
        if (n == 0)
            return EControlRead::End;
        return (errno == EAGAIN || errno == EINTR) ? EControlRead::Idle : EControlRead::Failed;
    }

    void Wake() override
    {
        const char by = 0;
        // The byte stays unread: every later poll sees it too (a full pipe
        // has one already).
        if (m_fdWakeWrite != NO_FD) {
            const ssize_t nIgnored = write(m_fdWakeWrite, &by, 1);
            (void)nIgnored;
        }
    }

    EControlOpen TryOpenOut(const std::string& strPath) override
    {
        if (m_fdOut != NO_FD)
            return EControlOpen::Open;
        // Wireshark gone while we write must be EPIPE, not the end of us.
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPIPE, &sa, nullptr);
        m_fdOut = open(strPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (m_fdOut == NO_FD)
            return errno == ENXIO ? EControlOpen::NotYet : EControlOpen::Failed;
        if (!IsFifo(m_fdOut)) {
            CloseFd(m_fdOut);
            return EControlOpen::Failed;
        }
        return EControlOpen::Open;
    }

    bool Write(const std::string& strBytes, uint32_t dwWaitMs) override
    {
        if (m_fdOut == NO_FD)
            return false;
        // At most PIPE_BUF bytes: each write moves all of them or none.
        if (WriteOnce(strBytes))
            return true;
        if (errno != EAGAIN)
            return false;
        // Full: Wireshark reads a little later, or not at all.
        struct pollfd pfd = { m_fdOut, POLLOUT, 0 };
        return poll(&pfd, 1, static_cast<int>(dwWaitMs)) == 1 && WriteOnce(strBytes);
    }

private:
    bool WriteOnce(const std::string& strBytes)
    {
        ssize_t n;
        do
            n = write(m_fdOut, strBytes.data(), strBytes.size());
        while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(strBytes.size());
    }

    int m_fdIn = NO_FD;
    int m_fdOut = NO_FD;
    int m_fdWakeRead = NO_FD;
    int m_fdWakeWrite = NO_FD;
};

} // namespace

std::unique_ptr<IControlPipes> CreateControlPipes()
{
    return std::make_unique<CControlPipesPosix>();
}
