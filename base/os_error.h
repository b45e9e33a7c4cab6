// What went wrong in an operating-system call, in a form portable code can
// decide on: a small kind, plus the system's own error number and message for
// the user to read. Each OS layer decodes its own error codes into this; code
// above the OS layers never looks at errno or GetLastError.
#pragma once

#include <cstdint>
#include <string>

enum class EOsError : int32_t {
    None = 0,
    NotFound,       // no such file, device or program
    AccessDenied,   // permission denied
    Busy,           // in use by someone else (an exclusive port, a locked pipe)
    WrongKind,      // exists but is not what was asked for (not a serial port, not a program, not our pipe)
    AlreadyExists,  // a file that was to be made new is there already
    TimedOut,
    Gone,           // the other end went away (device unplugged, client closed)
    NoResources,    // out of memory, descriptors or handles
    Other,
};

struct COsError {
    EOsError m_eKind = EOsError::None;
    int32_t m_nCode = 0;     // the system's own number (errno, or a Win32 error code)
    std::string m_strText;   // the system's own message for m_nCode

    bool IsError() const { return m_eKind != EOsError::None; }
};

// The calling thread's last error (errno on POSIX, GetLastError on Windows).
COsError OsLastError();
// A given system error number decoded.
COsError OsErrorFromCode(int32_t nCode);
// A kind of our own with no system number behind it (text: a short English phrase).
COsError OsErrorOfKind(EOsError eKind, const char* pszText);
