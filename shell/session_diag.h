// The lines a capture without a dialog adds to the system's own texts: what
// became of the output, and why a device named by its node could not open.
#pragma once

#include "base/os_error.h"

#include <cstdint>
#include <string>

#include "pcap/pcap_file.h"

// How the output is named in messages: the path, or "standard output".
std::string DescribeOutputName(const std::string& strPath, EPcapFileOpen eHow);
// The output could not be opened (AlreadyExists: a file that is never replaced).
std::string DescribeOutputOpenFailure(const std::string& strName, const COsError& err);
// A write to the output failed during the capture (reader gone, disk full).
std::string DescribeOutputWriteFailure(const std::string& strName, const COsError& err);
// A device node that no COM number maps to could not be opened.
std::string DescribeDeviceFailure(const std::string& strDevice, const COsError& err);
