// Files, named pipes and standard output through Win32 handles. WriteFile on
// the raw handle: no text-mode translation ever touches the pcap bytes.
#include "pcap/file_api.h"

#include <windows.h>

namespace {

// A named pipe whose one instance is busy gets this long to free up, per try.
constexpr DWORD PIPE_BUSY_WAIT_MS = 5000;
constexpr int32_t PIPE_BUSY_TRIES = 3;
// One WriteFile moves at most this much (DWORD lengths, and pipes prefer it).
constexpr size_t WRITE_CHUNK_MAX = 1u << 20;
// What the pcap side groups whole records into per write.
constexpr size_t PIPE_ATOMIC_MAX = 4096;

void SetError(COsError* pError, const COsError& err)
{
    if (pError != nullptr)
        *pError = err;
}

DWORD Disposition(EFileOpen eHow)
{
    switch (eHow) {
    case EFileOpen::CreateNew:
        return CREATE_NEW;
    case EFileOpen::Replace:
        return CREATE_ALWAYS;
    default:
        return OPEN_EXISTING;
    }
}

HANDLE OpenPath(const std::string& strPath, EFileOpen eHow)
{
    for (int32_t i = 0;; ++i) {
        const HANDLE h = CreateFileA(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, Disposition(eHow),
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || i + 1 >= PIPE_BUSY_TRIES)
            return h;
        if (!WaitNamedPipeA(strPath.c_str(), PIPE_BUSY_WAIT_MS))
            return INVALID_HANDLE_VALUE;
    }
}

// Our own handle on standard output, so that closing it leaves the stream be.
HANDLE DupStdout()
{
    const HANDLE hStd = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hStd == nullptr || hStd == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hDup = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), hStd, GetCurrentProcess(), &hDup, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return hDup;
}

} // namespace

// The wake is an event; the writes below do not wait on it yet (a blocked
// WriteFile on a pipe would need an overlapped handle or CancelSynchronousIo).
QM_FILE_WAKE FileWakeCreate()
{
    const HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return h == nullptr ? INVALID_QM_FILE_WAKE : reinterpret_cast<QM_FILE_WAKE>(h);
}

void FileWakeSignal(QM_FILE_WAKE hWake)
{
    if (hWake != INVALID_QM_FILE_WAKE)
        SetEvent(reinterpret_cast<HANDLE>(hWake));
}

void FileWakeClose(QM_FILE_WAKE hWake)
{
    if (hWake != INVALID_QM_FILE_WAKE)
        CloseHandle(reinterpret_cast<HANDLE>(hWake));
}

size_t FilePipeAtomicMax()
{
    return PIPE_ATOMIC_MAX;
}

// A named pipe's open never waits for a reader here (a busy one is waited
// for a bounded time): the wake is not needed.
QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, QM_FILE_WAKE /*hWake*/, COsError* pError)
{
    const HANDLE h = eHow == EFileOpen::Stdout ? DupStdout() : OpenPath(strPath, eHow);
    if (h == INVALID_HANDLE_VALUE) {
        SetError(pError, OsLastError());
        return INVALID_QM_FILE;
    }
    // A disk file named where a pipe was expected is written from its start:
    // what it held beyond our stream would follow it as garbage.
    if (eHow == EFileOpen::Existing && GetFileType(h) == FILE_TYPE_DISK && !SetEndOfFile(h)) {
        SetError(pError, OsLastError());
        CloseHandle(h);
        return INVALID_QM_FILE;
    }
    SetError(pError, COsError());
    return reinterpret_cast<QM_FILE>(h);
}

bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, QM_FILE_WAKE /*hWake*/, size_t* pnDone,
    COsError* pError)
{
    const HANDLE h = reinterpret_cast<HANDLE>(hFile);
    size_t nDone = 0;
    bool bOk = true;
    while (nDone < nLen) {
        const size_t nChunk = nLen - nDone < WRITE_CHUNK_MAX ? nLen - nDone : WRITE_CHUNK_MAX;
        DWORD dwMoved = 0;
        if (!WriteFile(h, pData + nDone, static_cast<DWORD>(nChunk), &dwMoved, nullptr)) {
            SetError(pError, OsLastError());   // ERROR_NO_DATA / ERROR_BROKEN_PIPE: the reader has gone
            bOk = false;
            break;
        }
        if (dwMoved == 0) {
            SetError(pError, OsErrorFromCode(ERROR_WRITE_FAULT));
            bOk = false;
            break;
        }
        nDone += dwMoved;
    }
    if (pnDone != nullptr)
        *pnDone = nDone;
    return bOk;
}

bool FileClose(QM_FILE hFile, COsError* pError)
{
    if (hFile == INVALID_QM_FILE)
        return true;
    if (!CloseHandle(reinterpret_cast<HANDLE>(hFile))) {
        SetError(pError, OsLastError());
        return false;
    }
    return true;
}
