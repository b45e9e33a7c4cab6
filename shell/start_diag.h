// The reason lines that follow a failed Start in the activity log: what was
// missing or refused, and what the user can do about it.
#pragma once

#include "base/os_error.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The Wireshark path names nothing: a bare name was looked up in PATH.
std::string DescribeMissingProgram(const char* pszPath);

// The Wireshark path for Start is nLen bytes long: more than the setting holds.
std::string DescribePathTooLong(size_t nLen);
// The stored Wireshark path (nLen bytes, in the settings file pszIni) did not
// fit the setting and was cut: it is not used.
std::string DescribeStoredPathTooLong(size_t nLen, const char* pszIni);

// The dongle did not acknowledge a command during the start handshake.
// nState is the controller's state that timed out (RF_STATE_WAIT_*).
std::string DescribeAckTimeout(int32_t nState, uint32_t dwTimeoutMs);

// The pipe link could not get Wireshark connected. nFailure is the pipe
// link's PIPE_FAIL_* reason, errLaunch the error of a failed launch, errPipe
// that of a failed pipe creation or wait; pszPipePath the FIFO;
// dwConnectMs the wait for the connection.
std::string DescribePipeFailure(const char* pszPath, int32_t nFailure, const COsError& errLaunch,
    const COsError& errPipe, const char* pszPipePath, uint32_t dwConnectMs);

// The capture controller could not start on port nPort. bOpen: the port did
// open (the set-channel command was not taken); errOpen: the error of the
// failed open (none when no open was tried); the reason is chosen by its kind; pszDevice: the node the open resolved to
// ("" when nothing mapped); pszResolved: what COMn resolves to now;
// pszPortsDir: the ports directory, "" where ports are no links.
std::string DescribePortFailure(int32_t nPort, bool bOpen, const COsError& errOpen, const char* pszDevice,
    const char* pszResolved, const char* pszPortsDir);
