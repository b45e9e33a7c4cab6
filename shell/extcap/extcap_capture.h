// --capture: the dongle's frames into the FIFO Wireshark gives, until
// Wireshark stops the capture (SIGTERM on POSIX) or stops reading.
#pragma once

#include <cstdint>
#include <string>

#include "engine/capture_session.h"
#include "shell/extcap/extcap_args.h"

// Exit code and message for how a capture ended: Wireshark shows any text on
// our standard error as an error, so a normal end has none. strSessionLines is what
// the session said, for the message of a failure; eOutputError why the
// output failed, if it did.
int32_t ExtcapCaptureResult(ESessionEnd eEnd, const CSessionStats& stats, EOsError eOutputError,
    int32_t nPort, const std::string& strSessionLines, std::string& strErr);

// Runs the capture args ask for (settings initialised); errors into strErr.
int32_t RunExtcapCapture(const CExtcapArgs& args, std::string& strErr);
