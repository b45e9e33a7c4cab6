// The two pipes of Wireshark's interface toolbar, opened and used without
// ever holding the capture: FIFOs on POSIX, named pipes on Windows. Wireshark
// opens its ends only once the capture runs (Wireshark, not tshark; and on
// POSIX it opens its reading end, our --extcap-control-out, first), so
// neither open here waits for it, and a write waits for a Wireshark that
// does not read only as long as its caller says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum class EControlRead : int32_t {
    Data,       // cbRead bytes came
    Idle,       // nothing within the wait, or Wake was called
    End,        // Wireshark closed its end
    Failed,     // the pipe cannot be read (not open, an error)
};

enum class EControlOpen : int32_t {
    Open,
    NotYet,     // Wireshark has not opened its end yet: try again later
    Failed,     // not there, or not a pipe: the toolbar is not used
};

class IControlPipes {
public:
    virtual ~IControlPipes() = default;
    // --extcap-control-in, at once whether or not Wireshark has its end open.
    virtual EControlOpen OpenIn(const std::string& strPath) = 0;
    // Waits up to dwWaitMs for bytes of the in pipe.
    virtual EControlRead Read(uint8_t* pBuf, size_t cbBuf, size_t& cbRead, uint32_t dwWaitMs) = 0;
    // Any thread: the Read that waits, and every Read after it, return Idle at once.
    virtual void Wake() = 0;
    // --extcap-control-out: NotYet until Wireshark reads it.
    virtual EControlOpen TryOpenOut(const std::string& strPath) = 0;
    // One message (at most 4096 bytes), moved whole or not at all, waiting
    // up to dwWaitMs for room. False: not open, Wireshark gone, or it did
    // not read in time.
    virtual bool Write(const std::string& strBytes, uint32_t dwWaitMs) = 0;
};

std::unique_ptr<IControlPipes> CreateControlPipes();
