// The log lines of a running capture: the wait for Wireshark, its leaving
// and coming back, the device going away, and the summary at Stop.
#pragma once

#include "link/rf_data_sink.h"
#include "pcap/pcap_pipe.h"

#include <cstdint>
#include <string>

// After a successful launch: where and how long the wait for Wireshark is.
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
    const CPcapPipeStats& pipeFrom, const CPcapPipeStats& pipeTo);
