// The texts of a capture that every face shows, defined once: the reasons
// after a failed start (what was missing or refused, and what the user can
// do about it), the log lines of a running capture (the wait for Wireshark,
// its leaving and coming back, the device going away, the output failing)
// and the summary at Stop.
#pragma once

#include "base/os_error.h"
#include "link/rf_data_sink.h"
#include "pcap/pcap_file.h"
#include "pcap/pcap_pipe.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The system's own outcome lines (without their line end).
constexpr const char* TEXT_NO_DEVICE = "No found sniffing device!";
constexpr const char* TEXT_OPEN_WIRESHARK_FAIL = "Open Wireshark fail!";
constexpr const char* TEXT_OPEN_PORT_FAIL = "Open UART Port FAIL!";
constexpr const char* TEXT_START_OK = "Start ZigBee sniffing OK!";
constexpr const char* TEXT_START_FAIL = "Start ZigBee sniffing FAIL!";
constexpr const char* TEXT_STOP_OK = "Stop ZigBee sniffing OK!";

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

std::string DescribeWaitForWireshark(const char* pszPipePath, uint32_t dwConnectMs);

// PIPE_EVENT_CLIENT_GONE, _CLIENT_BACK and _RECONNECT_GAVE_UP; dwReconnectMs
// is the wait for a new client. "" for other events.
std::string DescribePipeEvent(int32_t nEvent, uint32_t dwReconnectMs);

// The device on port COMn went away (unplugged) during a capture.
std::string DescribeLineLost(int32_t nPort);

// The one line after "Stop ZigBee sniffing OK!": frames delivered, frames
// lost by cause and noise skipped between the two snapshots of the
// controller's counters and the pipe link's statistics.
std::string DescribeCaptureSummary(const CRfCounters& rfFrom, const CRfCounters& rfTo,
    const CPcapPipeStats& pipeFrom, const CPcapPipeStats& pipeTo, uint64_t qwWriteFailed = 0);

std::string DescribeOutputName(const std::string& strPath, EPcapFileOpen eHow);
// The output could not be opened (AlreadyExists: a file that is never replaced).
std::string DescribeOutputOpenFailure(const std::string& strName, const COsError& err);
// A write to the output failed during the capture (reader gone, disk full).
std::string DescribeOutputWriteFailure(const std::string& strName, const COsError& err);
// A device node that no COM number maps to could not be opened.
std::string DescribeDeviceFailure(const std::string& strDevice, const COsError& err);
// The capture never started: its new file was removed again.
std::string DescribeNoFileWritten(const std::string& strPath);
// The file was removed (or its filesystem went) during the capture.
std::string DescribeFileRemoved(const std::string& strPath, uint64_t qwFrames);
// The device node named directly went away during a capture.
std::string DescribeDeviceLost(const std::string& strDevice);
// Where a file capture went: "Saved N frames to <path>", and where the file
// ends when a write failed (bClosedWhole false: err says why).
std::string DescribeSavedFile(const std::string& strPath, uint64_t qwFrames, bool bClosedWhole, const COsError& err);
