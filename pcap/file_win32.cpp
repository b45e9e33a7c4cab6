// Files, named pipes and standard output through Win32 handles. WriteFile on
// the raw handle: no text-mode translation ever touches the pcap bytes.
#include "pcap/file_api.h"

#include <windows.h>

#include "pcap/pipe_win32.h"

#include <mutex>

namespace {

// A named pipe whose one instance is busy gets this long to free up, per try.
constexpr DWORD PIPE_BUSY_WAIT_MS = 5000;
constexpr int32_t PIPE_BUSY_TRIES = 3;
// One WriteFile moves at most this much (DWORD lengths, and pipes prefer it).
constexpr size_t WRITE_CHUNK_MAX = 1u << 20;
// What the pcap side groups whole records into per write.
constexpr size_t PIPE_ATOMIC_MAX = 4096;
// A cancel that came just before the write began finds nothing to cancel: it
// is repeated while the writer is still in its write, this many times at most.
constexpr int32_t CANCEL_TRIES = 200;
constexpr DWORD CANCEL_RETRY_MS = 5;

// The wake: once signalled, pipes take no more writes, and the thread in a
// WriteFile on a pipe (blocked while the reader reads nothing) has that
// synchronous write cancelled.
class CFileWake {
public:
    ~CFileWake() { CloseWriter(); }

    // False once signalled; otherwise the calling thread is the writer.
    bool EnterWrite()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_bSignalled)
            return false;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &m_hWriter, THREAD_TERMINATE,
            FALSE, 0);
        return true;
    }
    void LeaveWrite()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        CloseWriter();
    }
    void Signal()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_bSignalled = true;
        for (int32_t i = 0; i < CANCEL_TRIES && m_hWriter != nullptr; ++i) {
            CancelSynchronousIo(m_hWriter);
            lock.unlock();
            Sleep(CANCEL_RETRY_MS);
            lock.lock();
        }
    }

private:
    void CloseWriter()
    {
        if (m_hWriter != nullptr)
            CloseHandle(m_hWriter);
        m_hWriter = nullptr;
    }

    std::mutex m_mtx;
    bool m_bSignalled = false;
    HANDLE m_hWriter = nullptr;
};

CFileWake* WakeOf(QM_FILE_WAKE hWake)
{
    return hWake == INVALID_QM_FILE_WAKE ? nullptr : reinterpret_cast<CFileWake*>(hWake);
}

COsError WokenError()
{
    return OsErrorOfKind(EOsError::TimedOut, "the wait for the reader was given up");
}

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

// A pipe somebody else made is opened with the right to read its state too,
// so that a reader who left can be seen without a write; a server that does
// not grant it still gets a plain writer.
HANDLE CreateForWrite(const std::string& strPath, EFileOpen eHow)
{
    if (eHow == EFileOpen::Existing) {
        const HANDLE h = CreateFileA(strPath.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            return h;
    }
    return CreateFileA(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, Disposition(eHow),
        FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Only a pipe named for Existing is waited for while busy: a busy pipe
// named for a file is refused at once.
HANDLE OpenPath(const std::string& strPath, EFileOpen eHow)
{
    for (int32_t i = 0;; ++i) {
        const HANDLE h = CreateForWrite(strPath, eHow);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || eHow != EFileOpen::Existing
            || i + 1 >= PIPE_BUSY_TRIES)
            return h;
        if (!WaitNamedPipeA(strPath.c_str(), PIPE_BUSY_WAIT_MS))
            return INVALID_HANDLE_VALUE;
    }
}

COsError StdoutClosedError()
{
    return OsErrorOfKind(EOsError::NotFound, "standard output is closed");
}

// Our own handle on standard output, so that closing it leaves the stream be.
HANDLE DupStdout(COsError* pError)
{
    const HANDLE hStd = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE hDup = INVALID_HANDLE_VALUE;
    if (hStd == nullptr || hStd == INVALID_HANDLE_VALUE
        || !DuplicateHandle(GetCurrentProcess(), hStd, GetCurrentProcess(), &hDup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        const DWORD dwErr = GetLastError();
        const bool bClosed = hStd == nullptr || hStd == INVALID_HANDLE_VALUE || dwErr == ERROR_INVALID_HANDLE;
        SetError(pError, bClosed ? StdoutClosedError() : OsErrorFromCode(dwErr));
        return INVALID_HANDLE_VALUE;
    }
    return hDup;
}

const char* KindOf(DWORD dwType)
{
    switch (dwType) {
    case FILE_TYPE_DISK:
        return "a disk file";
    case FILE_TYPE_PIPE:
        return "a pipe";
    case FILE_TYPE_CHAR:
        return "a character device";
    default:
        return "of another kind";
    }
}

COsError WrongKindError(const char* pszWanted, const char* pszKind)
{
    const std::string strText = std::string("not ") + pszWanted + " (" + pszKind + ")";
    return OsErrorOfKind(EOsError::WrongKind, strText.c_str());
}

} // namespace

QM_FILE_WAKE FileWakeCreate()
{
    return reinterpret_cast<QM_FILE_WAKE>(new CFileWake);
}

void FileWakeSignal(QM_FILE_WAKE hWake)
{
    if (CFileWake* pWake = WakeOf(hWake))
        pWake->Signal();
}

void FileWakeClose(QM_FILE_WAKE hWake)
{
    delete WakeOf(hWake);
}

size_t FilePipeAtomicMax()
{
    return PIPE_ATOMIC_MAX;
}

// A named pipe's open never waits for a reader here (a busy one is waited
// for a bounded time): the wake is not needed. CreateNew / Replace keep only
// a disk file, Existing only a pipe: any other handle is closed unwritten
// (a disk file opened for Existing is never truncated).
QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, QM_FILE_WAKE /*hWake*/, COsError* pError)
{
    if (eHow == EFileOpen::Stdout) {
        const HANDLE hOut = DupStdout(pError);
        if (hOut == INVALID_HANDLE_VALUE)
            return INVALID_QM_FILE;
        SetError(pError, COsError());
        return reinterpret_cast<QM_FILE>(hOut);
    }
    const HANDLE h = OpenPath(strPath, eHow);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD dwErr = GetLastError();
        SetError(pError, dwErr == ERROR_PIPE_BUSY && eHow != EFileOpen::Existing
                ? WrongKindError("a regular file", KindOf(FILE_TYPE_PIPE))
                : OsErrorFromCode(dwErr));
        return INVALID_QM_FILE;
    }
    const DWORD dwType = GetFileType(h);
    const bool bPipeWanted = eHow == EFileOpen::Existing;
    if (dwType != (bPipeWanted ? FILE_TYPE_PIPE : FILE_TYPE_DISK)) {
        SetError(pError, WrongKindError(bPipeWanted ? "a named pipe" : "a regular file", KindOf(dwType)));
        CloseHandle(h);
        return INVALID_QM_FILE;
    }
    SetError(pError, COsError());
    return reinterpret_cast<QM_FILE>(h);
}

// A pipe write that the wake cancels may have left part of its bytes with
// the reader (the call reports none moved): nothing is written after it.
bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, QM_FILE_WAKE hWake, size_t* pnDone,
    COsError* pError, bool /*bMayBlock*/)
{
    const HANDLE h = reinterpret_cast<HANDLE>(hFile);
    CFileWake* pCancel = GetFileType(h) == FILE_TYPE_PIPE ? WakeOf(hWake) : nullptr;
    size_t nDone = 0;
    bool bOk = true;
    while (nDone < nLen) {
        const size_t nChunk = nLen - nDone < WRITE_CHUNK_MAX ? nLen - nDone : WRITE_CHUNK_MAX;
        if (pCancel != nullptr && !pCancel->EnterWrite()) {
            SetError(pError, WokenError());
            bOk = false;
            break;
        }
        DWORD dwMoved = 0;
        const BOOL bWritten = WriteFile(h, pData + nDone, static_cast<DWORD>(nChunk), &dwMoved, nullptr);
        const DWORD dwErr = GetLastError();
        if (pCancel != nullptr)
            pCancel->LeaveWrite();
        if (!bWritten) {
            // ERROR_NO_DATA / ERROR_BROKEN_PIPE: the reader has gone.
            SetError(pError, dwErr == ERROR_OPERATION_ABORTED ? WokenError() : OsErrorFromCode(dwErr));
            nDone += dwMoved;
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

bool FileTruncate(QM_FILE hFile, uint64_t qwSize, COsError* pError)
{
    const HANDLE h = reinterpret_cast<HANDLE>(hFile);
    if (GetFileType(h) != FILE_TYPE_DISK) {
        SetError(pError, OsErrorOfKind(EOsError::WrongKind, "not a regular file"));
        return false;
    }
    LARGE_INTEGER liSize;
    liSize.QuadPart = static_cast<LONGLONG>(qwSize);
    if (liSize.QuadPart < 0) {
        SetError(pError, OsErrorFromCode(ERROR_INVALID_PARAMETER));
        return false;
    }
    if (!SetFilePointerEx(h, liSize, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
        SetError(pError, OsLastError());
        return false;
    }
    SetError(pError, COsError());
    return true;
}

bool FilePipeReaderGone(QM_FILE hFile)
{
    // Only a pipe opened with the right to read its state can tell (standard
    // output may not); without it the next write does.
    const HANDLE h = reinterpret_cast<HANDLE>(hFile);
    ULONG dwState = 0;
    if (GetFileType(h) != FILE_TYPE_PIPE || !PipeHandleState(h, &dwState))
        return false;
    return dwState == PIPE_STATE_CLOSING_NT || dwState == PIPE_STATE_DISCONNECTED_NT;
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

// A pipe's write is cancelled through the wake instead of waited for first.
bool FileWriteMayBlock(QM_FILE /*hFile*/)
{
    return true;
}
