// Wireshark's interface toolbar talks to an extcap program over two pipes
// (--extcap-control-in: Wireshark to us, --extcap-control-out: us to
// Wireshark) in one framing: the sync byte 'T', a 3-byte big-endian length
// of what follows, the control number, the command, the payload. Plain
// bytes, no OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The commands of Wireshark 4.0's toolbar protocol.
enum class EControlCommand : uint8_t {
    Initialized = 0,    // Wireshark opened both pipes and sent its values
    Set = 1,            // a control's value (a selector's value, a button pressed)
    Add = 2,            // a selector gets a value
    Remove = 3,         // a selector loses a value (or all of them)
    Enable = 4,
    Disable = 5,
    StatusbarMessage = 6,
    InformationMessage = 7,
    WarningMessage = 8,
    ErrorMessage = 9,
};

constexpr uint8_t CONTROL_SYNC_BYTE = 'T';
constexpr size_t CONTROL_HEADER_BYTES = 6;          // sync, length (3), control, command
constexpr size_t CONTROL_LENGTH_MIN = 2;            // control and command, no payload
// The payload a message of ours may carry: with the header it stays within
// the 4096 bytes a pipe write moves whole (POSIX PIPE_BUF on Linux), so a
// message is never cut by a write that does not wait.
constexpr size_t CONTROL_PAYLOAD_MAX = 4096 - CONTROL_HEADER_BYTES;

struct CControlMsg {
    uint8_t m_byControl = 0;
    EControlCommand m_eCommand = EControlCommand::Initialized;
    std::string m_strPayload;
};

// The bytes of msg; a payload longer than CONTROL_PAYLOAD_MAX is cut there
// (at the start of a UTF-8 character, so the text stays valid).
std::string EncodeControlMsg(const CControlMsg& msg);

// Cuts messages out of the bytes read from the pipe, however the reads split
// them. A message longer than CONTROL_PAYLOAD_MAX is passed over whole
// without being held (none of ours is that long, so it is not for us). A
// byte other than the sync byte where a message starts means the stream
// cannot be followed: the decoder stops there for good.
class CControlMsgDecoder {
public:
    // Takes cb bytes; messages come out of Next.
    void Feed(const uint8_t* pData, size_t cb);
    // The next whole message, in order; false when none is complete yet.
    bool Next(CControlMsg& msg);
    bool IsBroken() const { return m_bBroken; }
    uint32_t GetSkipped() const { return m_dwSkipped; }   // too long, passed over

private:
    uint32_t LengthAtFront() const;
    void PassOver(size_t nWhole);

    std::string m_strPending;       // bytes not yet cut into a message
    size_t m_nSkipLeft = 0;         // bytes of a long message still to pass over
    uint32_t m_dwSkipped = 0;
    bool m_bBroken = false;
};
