// The OS file layer under the pcap file sink: a file made or replaced for
// writing, a pipe somebody else made (a FIFO, a Windows named pipe), or the
// process's standard output; every write moves all it is given or fails.
// A pipe's reader may stop reading yet keep its end open: the waits for it
// (the open of a FIFO, a write into a full pipe) end when the wake is
// signalled, so that a capture can always be stopped.
// One file per OS: file_posix.cpp, file_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/os_error.h"

typedef intptr_t QM_FILE;
constexpr QM_FILE INVALID_QM_FILE = -1;
typedef intptr_t QM_FILE_WAKE;
constexpr QM_FILE_WAKE INVALID_QM_FILE_WAKE = -1;

// CreateNew and Replace open only a regular file (a symbolic link to one
// too) and never wait: a FIFO, a device, a socket or a named pipe, also
// behind a link, and a link that leads nowhere are refused (WrongKind, its
// text e.g. "not a regular file (a FIFO)") without being opened for writing
// (Windows: a handle that is no disk file is closed unwritten).
enum class EFileOpen : int32_t {
    CreateNew,   // O_CREAT | O_EXCL / CREATE_NEW: an existing file is AlreadyExists
    Replace,     // O_TRUNC, or O_CREAT | O_EXCL when there is none / CREATE_ALWAYS
    Existing,    // a FIFO (POSIX, also behind a link) or a named pipe (Windows), opened for
                 // writing, never created; waits for its reader. Anything else is refused
                 // (WrongKind, "not a FIFO (a regular file)") and left untouched
    Stdout,      // standard output (the path is ignored); closing leaves the stream itself open.
                 // Closed when the process started: NotFound, "standard output is closed"
};

// A wake ends the waits of the calls below that are given it; once signalled
// it stays so. INVALID_QM_FILE_WAKE when none could be made (the waits are
// then not interruptible). Signal: any thread.
QM_FILE_WAKE FileWakeCreate();
void FileWakeSignal(QM_FILE_WAKE hWake);
void FileWakeClose(QM_FILE_WAKE hWake);

// Writes into a pipe of at most this many bytes go in whole or not at all,
// so a write that gives up never leaves part of them in the pipe.
size_t FilePipeAtomicMax();

// INVALID_QM_FILE on failure, with the reason in *pError. A broken pipe shows
// up as a failed write (Gone), never as a signal. Existing waits for a FIFO's
// reader until hWake is signalled (then fails with TimedOut).
QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, QM_FILE_WAKE hWake, COsError* pError);
// Writes all nLen bytes (retrying short writes); false with the reason when
// the rest cannot be written. *pnDone gets the bytes moved either way. Once
// hWake is signalled, a pipe that has no room left fails the write
// (TimedOut) instead of being waited for; a file is written as ever.
// (Windows: a pipe's blocked WriteFile is cancelled, and once signalled no
// further write goes into a pipe.)
// bMayBlock false (see FileWriteMayBlock): the write is tried first and room
// waited for only when there is none, one system call less per write.
bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, QM_FILE_WAKE hWake, size_t* pnDone,
    COsError* pError, bool bMayBlock = true);
// False when no write on hFile can block: a regular file, or a FIFO opened
// here (left non-blocking). Standard output may block (others share it).
bool FileWriteMayBlock(QM_FILE hFile);
// True when hFile is a pipe that nobody reads any more (every reader has
// closed its end), seen without writing: on a quiet line there may be no
// write to find it. False for files, for pipes still read, and where the OS
// cannot tell without writing (on Windows, a handle without the right to
// read the pipe's state, as standard output may be).
bool FilePipeReaderGone(QM_FILE hFile);
// Cuts a regular file back to its first qwSize bytes (no more than it
// holds) and puts the position there, so that the next write goes at the new end; for
// a file whose write failed midway, so that it ends on the last whole
// record. Anything but a regular file (a pipe, a FIFO, a terminal) is left
// untouched and fails with EOsError::WrongKind; the caller decides whether
// a regular file behind standard output may be cut (it may be shared).
bool FileTruncate(QM_FILE hFile, uint64_t qwSize, COsError* pError);
// Closes (for Stdout: only our handle on it); false when the close reported
// an error (data that never reached the disk).
bool FileClose(QM_FILE hFile, COsError* pError);
