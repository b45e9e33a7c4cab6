// qm-capture-bench: the capture under measure, as one face wires it. The
// dialog's wiring (the dialog's model on Qt's event loop, with a view that
// shows nothing) and the headless session's (the session on the portable
// window loop) both implement it; the measured runs see only this.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/rf_ctrl.h"
#include "pcap/pcap_pipe.h"

// Lets the face's loop run for nMs on the calling thread (the dialog's: Qt's
// event loop; the headless session turns its own loop on its own thread).
void PumpFor(int32_t nMs);
bool PumpUntil(const std::function<bool()>& fnDone, int32_t nTimeoutMs);

class IBenchWiring {
public:
    virtual ~IBenchWiring() = default;
    // As the face's Start, with pszReader as "Wireshark" on COM<nPort>:
    // returns once the dongle sniffs. False with the reason when a step fails.
    virtual bool Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError) = 0;
    // As the face's Stop: the stop command, the output closed.
    virtual void Stop() = 0;
    // The port closed after the stop (the stop command acknowledged).
    virtual bool WaitStopped(int32_t nTimeoutMs) = 0;
    // Records the output has written or dropped since Start.
    virtual uint64_t RecordsDone() const = 0;
    virtual CRfCounters GetCounters() const = 0;
    // Counted as the pipe link counts (the file output: its whole records as
    // delivered, what it dropped as "reader too slow").
    virtual CPcapPipeStats GetPipeStats() const = 0;
    // The serial port while open (for its threads' CPU clocks); may be null.
    virtual CUartPort* GetPort() const = 0;
};
