// The pipe that Wireshark captures from: one server instance with a fixed
// name, at most one client at a time, a blocking byte stream towards it.
// CPcapPipe keeps the protocol; this layer only does the operating system's
// part (on POSIX a FIFO in a directory that belongs to the user alone).
#pragma once

#include <cstdint>
#include <string>

#include "base/os_error.h"

typedef intptr_t PIPE_HANDLE;
constexpr PIPE_HANDLE INVALID_PIPE_HANDLE = -1;

constexpr int32_t PIPE_WAIT_CONNECTED = 0;
constexpr int32_t PIPE_WAIT_TIMEOUT = 1;
constexpr int32_t PIPE_WAIT_ERROR = 2;
constexpr int32_t PIPE_WAIT_CANCELLED = 3;   // the wake was signalled

// Outcome of a write.
constexpr int32_t PIPE_IO_DONE = 0;        // every byte moved
constexpr int32_t PIPE_IO_GONE = 1;        // the client has gone, or none is connected
constexpr int32_t PIPE_IO_CANCELLED = 2;   // the wake was signalled before every byte moved

// A wake ends waits and writes in progress on any instance it is given to,
// from another thread: a manual-reset event (on POSIX an eventfd, on Win32 an
// event that overlapped I/O waits on beside its own). It stays signalled until
// reset, so a wait that starts after the signal ends at once.
typedef intptr_t PIPE_WAKE;
constexpr PIPE_WAKE INVALID_PIPE_WAKE = -1;

// Not signalled; INVALID_PIPE_WAKE on failure, with the reason in *pError (if given).
PIPE_WAKE PipeWakeCreate(COsError* pError = nullptr);
void PipeWakeSignal(PIPE_WAKE hWake);  // any thread
void PipeWakeReset(PIPE_WAKE hWake);
void PipeWakeClose(PIPE_WAKE hWake);

// The name a client opens (the argument after "-i"). Follows the current
// environment; an instance keeps the name it was created with.
std::string PipeDefaultPath();

// Creates the pipe instance, or takes over the one this user left behind.
// INVALID_PIPE_HANDLE on failure with the reason in *pError (WrongKind:
// something that is not our pipe sits at the name; Busy: another process
// holds the instance).
PIPE_HANDLE PipeCreateInstance(COsError* pError);

// The name clients open for this instance.
std::string PipeInstancePath(PIPE_HANDLE hPipe);

// Waits up to dwTimeoutMs for a client, or until hWake (if given) is
// signalled. One that arrived earlier counts at once. PIPE_WAIT_ERROR carries
// the reason in *pError; the instance is left as it was either way.
int32_t PipeWaitForClient(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs, COsError* pError,
                          PIPE_WAKE hWake = INVALID_PIPE_WAKE);

bool PipeHasClient(PIPE_HANDLE hPipe);

// Writes the whole block, waiting while the client is slow, until it is done,
// the client has gone or hWake (if given) is signalled; *pnResult (if given)
// says which (PIPE_IO_*). Returns the bytes moved. Never raises a signal.
int32_t PipeWrite(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, PIPE_WAKE hWake = INVALID_PIPE_WAKE,
                  int32_t* pnResult = nullptr);

// Given as the wake of a write: it never waits for the client. It moves what
// the pipe takes at once and ends as PIPE_IO_CANCELLED for the rest, which may
// begin inside a block: the caller writes it later from where it stopped.
constexpr PIPE_WAKE PIPE_WAKE_NO_WAIT = -2;

// True when a write given PIPE_WAKE_NO_WAIT reports exactly what the client
// got: a non-blocking write on POSIX. A Win32 pipe write that has to wait is
// pending; cancelling it may report less than a client already read (Wine
// reports nothing), and writing that part again would garble the stream. Where
// this is false the capture side leaves every write to the writer thread.
bool PipeNoWaitIsExact();

// A block of at most this many bytes goes to the client whole or not at all.
constexpr uint32_t PIPE_WHOLE_BLOCK_BYTES = 4096;

// Writes nLen bytes made of blocks that end at the offsets pdwEnds[0..nEnds)
// (ascending, the last one nLen), like PipeWrite, in as few writes as the
// client's pace allows (one while it keeps up). However the write ends (done,
// client gone, wake), a block of at most PIPE_WHOLE_BLOCK_BYTES has reached the
// client whole or not at all: a reader cut off never holds half of one.
// dwHeadSent is how much of the first block the client already has from an
// earlier write that stopped inside it (PIPE_WAKE_NO_WAIT): a wake then still
// lets that block finish, even before this write has moved anything.
int32_t PipeWriteBlocks(PIPE_HANDLE hPipe, const uint8_t* pData, int32_t nLen, const uint32_t* pdwEnds, int32_t nEnds,
                        PIPE_WAKE hWake, int32_t* pnResult, uint32_t dwHeadSent = 0);

// True when the connected client has closed its end (found without writing).
bool PipeClientGone(PIPE_HANDLE hPipe);

// Drops the client by force: it sees the end of the stream and gets nothing
// more, even if it has not noticed yet when the next client is awaited. The
// instance stays, under the same name.
void PipeDisconnectClient(PIPE_HANDLE hPipe);

// Lets go of a client that has gone already (a write moved nothing).
void PipeReleaseClient(PIPE_HANDLE hPipe);

// Drops the client and ends the instance; the handle is gone afterwards.
void PipeCloseInstance(PIPE_HANDLE hPipe);
