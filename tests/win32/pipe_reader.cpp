// A stand-in for Wireshark: started as "<exe> -i <pipe> -k", it opens the
// pipe, copies everything it reads into the file named by QM_READER_OUT and
// then renames that file to QM_READER_OUT + ".done". With QM_READER_ARGS set
// it first writes its arguments there, one a line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

static constexpr DWORD OPEN_TRY_MS = 10000;
static constexpr DWORD OPEN_POLL_MS = 10;
static constexpr DWORD READ_CHUNK = 4096;

static void WriteArgs(const char* pszFile, int argc, char** argv)
{
    FILE* pFile = std::fopen(pszFile, "wb");
    if (pFile == nullptr)
        return;
    for (int i = 0; i < argc; ++i)
        std::fprintf(pFile, "%s\n", argv[i]);
    std::fclose(pFile);
}

static HANDLE OpenPipe(const char* pszPipe)
{
    for (DWORD dwWaited = 0; dwWaited < OPEN_TRY_MS; dwWaited += OPEN_POLL_MS) {
        const HANDLE h = CreateFileA(pszPipe, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        Sleep(OPEN_POLL_MS);
    }
    return INVALID_HANDLE_VALUE;
}

int main(int argc, char** argv)
{
    if (const char* pszArgs = std::getenv("QM_READER_ARGS"))
        WriteArgs(pszArgs, argc, argv);
    const char* pszOut = std::getenv("QM_READER_OUT");
    if (argc < 3 || std::string(argv[1]) != "-i" || pszOut == nullptr)
        return 2;
    const HANDLE hPipe = OpenPipe(argv[2]);
    if (hPipe == INVALID_HANDLE_VALUE)
        return 3;
    FILE* pFile = std::fopen(pszOut, "wb");
    if (pFile == nullptr)
        return 4;
    // A slow reader on request: the server must still deliver everything.
    const DWORD dwPauseMs = std::getenv("QM_READER_SLOW") != nullptr ? 1 : 0;
    char abyChunk[READ_CHUNK];
    DWORD dwGot = 0;
    unsigned long long qwTotal = 0;
    BOOL bRead = FALSE;
    while ((bRead = ReadFile(hPipe, abyChunk, READ_CHUNK, &dwGot, nullptr)) && dwGot > 0) {
        std::fwrite(abyChunk, 1, dwGot, pFile);
        qwTotal += dwGot;
        if (dwPauseMs > 0)
            Sleep(dwPauseMs);
    }
    std::fclose(pFile);
    // How the stream ended, for a test that finds less than it sent.
    if (FILE* pLog = std::fopen((std::string(pszOut) + ".log").c_str(), "wb")) {
        std::fprintf(pLog, "bytes %llu ok %d error %lu\n", qwTotal, bRead, bRead ? 0UL : GetLastError());
        std::fclose(pLog);
    }
    CloseHandle(hPipe);
    const std::string strDone = std::string(pszOut) + ".done";
    MoveFileExA(pszOut, strDone.c_str(), MOVEFILE_REPLACE_EXISTING);
    return 0;
}
