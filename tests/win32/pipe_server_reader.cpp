// Wireshark's side of an extcap FIFO on Windows: it creates the named pipe
// (inbound), prints "ready", waits for the writer, keeps the pcap header and
// the first N records, and then closes the pipe, the way Wireshark ends a
// capture it no longer wants. The records go into a file for Linux-side tools.
//   qm_pipe_server <\\.\pipe\name> <out file> <records>
// Exit: 0 done, 2 usage, 3 no pipe, 4 no writer, 5 the stream ended early or
// is not a little-endian pcap, 6 the file cannot be written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <windows.h>

static constexpr DWORD PIPE_BUFFER = 65536;
static constexpr size_t GLOBAL_HEADER_LEN = 24;
static constexpr size_t RECORD_HEADER_LEN = 16;
static constexpr size_t INCL_LEN_OFFSET = 8;
static constexpr uint32_t MAX_RECORD_LEN = 65535;
static constexpr uint8_t PCAP_MAGIC_LE[] = {0xD4, 0xC3, 0xB2, 0xA1};

// Appends exactly nLen bytes from the pipe to vecOut.
static bool ReadExact(HANDLE hPipe, std::vector<uint8_t>& vecOut, size_t nLen)
{
    const size_t nStart = vecOut.size();
    vecOut.resize(nStart + nLen);
    size_t nHave = 0;
    while (nHave < nLen) {
        DWORD dwGot = 0;
        if (!ReadFile(hPipe, vecOut.data() + nStart + nHave, static_cast<DWORD>(nLen - nHave), &dwGot, nullptr)
            || dwGot == 0) {
            vecOut.resize(nStart + nHave);   // what came, for the message
            return false;
        }
        nHave += dwGot;
    }
    return true;
}

static bool ReadCapture(HANDLE hPipe, unsigned long dwRecords, std::vector<uint8_t>& vecOut)
{
    if (!ReadExact(hPipe, vecOut, GLOBAL_HEADER_LEN) || std::memcmp(vecOut.data(), PCAP_MAGIC_LE, 4) != 0)
        return false;
    for (unsigned long i = 0; i < dwRecords; ++i) {
        const size_t nHeader = vecOut.size();
        if (!ReadExact(hPipe, vecOut, RECORD_HEADER_LEN))
            return false;
        uint32_t dwIncl = 0;
        std::memcpy(&dwIncl, vecOut.data() + nHeader + INCL_LEN_OFFSET, sizeof dwIncl);
        if (dwIncl > MAX_RECORD_LEN || !ReadExact(hPipe, vecOut, dwIncl))
            return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    const unsigned long dwRecords = std::strtoul(argv[3], nullptr, 10);
    const HANDLE hPipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_INBOUND,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, PIPE_BUFFER, PIPE_BUFFER,
        0, nullptr);
    if (hPipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateNamedPipeA failed: %lu\n", GetLastError());
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (!ConnectNamedPipe(hPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        std::fprintf(stderr, "ConnectNamedPipe failed: %lu\n", GetLastError());
        return 4;
    }
    std::vector<uint8_t> vecCapture;
    const bool bWhole = ReadCapture(hPipe, dwRecords, vecCapture);
    const DWORD dwError = bWhole ? 0 : GetLastError();
    CloseHandle(hPipe);
    if (!bWhole) {
        std::fprintf(stderr, "the stream ended after %zu bytes: %lu\n", vecCapture.size(), dwError);
        return 5;
    }
    FILE* pFile = std::fopen(argv[2], "wb");
    if (pFile == nullptr)
        return 6;
    const bool bWritten = std::fwrite(vecCapture.data(), 1, vecCapture.size(), pFile) == vecCapture.size();
    return std::fclose(pFile) == 0 && bWritten ? 0 : 6;
}
