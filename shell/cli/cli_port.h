// A device node named on the command line, turned into the COM number that
// opens it, so that messages and settings speak of ports as the dialog does.
#pragma once

#include <cstdint>
#include <string>

// The first COMn that resolves (through the ports directory's links or the
// fixed ranges, as the port opens it) to the same device as strPath; for a
// node that does not exist, the fixed range it names. 0 when none does.
int32_t ComPortOfDevice(const std::string& strPath);
