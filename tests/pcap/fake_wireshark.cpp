// Stands in for Wireshark in the pipe tests: started as "<prog> [options] -i
// FIFO -k", it opens the FIFO and copies what it reads to a file.
//
//   --out FILE     copy of the stream; written as FILE.part and renamed to FILE
//                  once the FIFO is closed, so FILE appearing means "done"
//   --info FILE    written first: "pid ppid sid", "fds <open descriptors>",
//                  "sigpipe ign|dfl", then argv, one per line
//   --delay-ms N   wait before opening the FIFO
//   --no-open      never open the FIFO (exit after the delay)
//   --records N    read the global header and N records exactly, then close
//   --stall-ms N   after opening, read nothing for N ms, then close
//   --read-bytes N --read-pause-ms M
//                  a slow reader: at most N bytes per read, M ms between reads
// It ends itself after 30 s whatever happens.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

static bool WriteAll(int nFd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = write(nFd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads exactly n bytes unless the stream ends first; returns bytes read.
static size_t ReadFull(int nFd, uint8_t* p, size_t n)
{
    size_t nDone = 0;
    while (nDone < n) {
        const ssize_t r = read(nFd, p + nDone, n - nDone);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        nDone += static_cast<size_t>(r);
    }
    return nDone;
}

static std::string OpenDescriptors()
{
    std::string str;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return "?";
    const int nListFd = dirfd(pDir);
    std::vector<int> vFds;
    while (struct dirent* pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.')
            continue;
        const int nFd = atoi(pEnt->d_name);
        if (nFd != nListFd)
            vFds.push_back(nFd);
    }
    closedir(pDir);
    for (int nFd : vFds) {
        // Appended in two steps: GCC 12 at -O3 warns falsely (-Wrestrict) on " " + to_string().
        str += ' ';
        str += std::to_string(nFd);
    }
    return str;
}

static void SleepMs(long nMs)
{
    if (nMs > 0)
        usleep(static_cast<useconds_t>(nMs) * 1000);
}

int main(int argc, char** argv)
{
    alarm(30);   // launched detached: never outlive a failed test for long
    std::string strOut, strInfo, strFifo;
    long nDelayMs = 0, nRecords = -1, nStallMs = 0, nReadBytes = 65536, nReadPauseMs = 0;
    bool bNoOpen = false, bK = false;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        const bool bHasValue = i + 1 < argc;
        if (strArg == "--out" && bHasValue)
            strOut = argv[++i];
        else if (strArg == "--info" && bHasValue)
            strInfo = argv[++i];
        else if (strArg == "--delay-ms" && bHasValue)
            nDelayMs = atol(argv[++i]);
        else if (strArg == "--records" && bHasValue)
            nRecords = atol(argv[++i]);
        else if (strArg == "--stall-ms" && bHasValue)
            nStallMs = atol(argv[++i]);
        else if (strArg == "--read-bytes" && bHasValue)
            nReadBytes = atol(argv[++i]);
        else if (strArg == "--read-pause-ms" && bHasValue)
            nReadPauseMs = atol(argv[++i]);
        else if (strArg == "--no-open")
            bNoOpen = true;
        else if (strArg == "-i" && bHasValue)
            strFifo = argv[++i];
        else if (strArg == "-k")
            bK = true;
        else {
            fprintf(stderr, "fake_wireshark: unexpected argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!strInfo.empty()) {
        std::string strText = std::to_string(getpid()) + " " + std::to_string(getppid()) + " "
                              + std::to_string(getsid(0)) + "\n";
        strText += "fds" + OpenDescriptors() + "\n";
        struct sigaction sa;
        sigaction(SIGPIPE, nullptr, &sa);
        strText += std::string("sigpipe ") + (sa.sa_handler == SIG_IGN ? "ign" : "dfl") + "\n";
        for (int i = 0; i < argc; ++i)
            strText += std::string(argv[i]) + "\n";
        const std::string strPart = strInfo + ".part";
        FILE* pFile = fopen(strPart.c_str(), "w");
        if (pFile == nullptr)
            return 3;
        fputs(strText.c_str(), pFile);
        fclose(pFile);
        rename(strPart.c_str(), strInfo.c_str());
    }
    if (strFifo.empty() || !bK) {
        fprintf(stderr, "fake_wireshark: needs -i FIFO -k\n");
        return 2;
    }
    SleepMs(nDelayMs);
    if (bNoOpen)
        return 0;

    const int nFifo = open(strFifo.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFifo < 0) {
        fprintf(stderr, "fake_wireshark: open %s: %s\n", strFifo.c_str(), strerror(errno));
        return 4;
    }
    const std::string strPart = strOut + ".part";
    const int nOut = strOut.empty() ? -1 : open(strPart.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<uint8_t> vBuf(65536 + 16);
    if (nStallMs > 0) {
        SleepMs(nStallMs);
    } else if (nRecords >= 0) {
        size_t nGot = ReadFull(nFifo, vBuf.data(), 24);
        if (nOut >= 0)
            WriteAll(nOut, vBuf.data(), nGot);
        for (long n = 0; n < nRecords && nGot > 0; ++n) {
            nGot = ReadFull(nFifo, vBuf.data(), 16);
            if (nGot < 16) {
                if (nOut >= 0)
                    WriteAll(nOut, vBuf.data(), nGot);
                break;
            }
            uint32_t dwIncl = 0;
            memcpy(&dwIncl, vBuf.data() + 8, 4);   // little-endian host
            if (dwIncl > 65535)
                dwIncl = 65535;
            nGot = 16 + ReadFull(nFifo, vBuf.data() + 16, dwIncl);
            if (nOut >= 0)
                WriteAll(nOut, vBuf.data(), nGot);
        }
    } else {
        const size_t nChunk = nReadBytes > 0 && static_cast<size_t>(nReadBytes) < vBuf.size()
                                  ? static_cast<size_t>(nReadBytes) : vBuf.size();
        for (;;) {
            SleepMs(nReadPauseMs);
            const ssize_t r = read(nFifo, vBuf.data(), nChunk);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            if (nOut >= 0)
                WriteAll(nOut, vBuf.data(), static_cast<size_t>(r));
        }
    }
    close(nFifo);
    if (nOut >= 0) {
        close(nOut);
        rename(strPart.c_str(), strOut.c_str());
    }
    return 0;
}
