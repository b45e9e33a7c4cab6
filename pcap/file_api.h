// The OS file layer under the pcap file sink: a file made or replaced for
// writing, a pipe somebody else made (a FIFO, a Windows named pipe), or the
// process's standard output; every write moves all it is given or fails.
// One file per OS: file_posix.cpp, file_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/os_error.h"

typedef intptr_t QM_FILE;
constexpr QM_FILE INVALID_QM_FILE = -1;

enum class EFileOpen : int32_t {
    CreateNew,   // O_CREAT | O_EXCL / CREATE_NEW: an existing file is AlreadyExists
    Replace,     // O_CREAT | O_TRUNC / CREATE_ALWAYS
    Existing,    // opened for writing, never created (a FIFO or named pipe); waits for its reader
    Stdout,      // standard output (the path is ignored); closing leaves the stream itself open
};

// INVALID_QM_FILE on failure, with the reason in *pError. A broken pipe shows
// up as a failed write (Gone), never as a signal.
QM_FILE FileOpenForWrite(const std::string& strPath, EFileOpen eHow, COsError* pError);
// Writes all nLen bytes (retrying short writes); false with the reason when
// the rest cannot be written. *pnDone gets the bytes moved either way.
bool FileWriteAll(QM_FILE hFile, const uint8_t* pData, size_t nLen, size_t* pnDone, COsError* pError);
// Closes (for Stdout: only our handle on it); false when the close reported
// an error (data that never reached the disk).
bool FileClose(QM_FILE hFile, COsError* pError);
