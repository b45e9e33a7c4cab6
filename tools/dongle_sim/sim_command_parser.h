// Cuts the host's byte stream into 7-byte command frames. Anything that is
// not a command is skipped a byte at a time until the 00 01 04 header lines
// up again, so stray bytes never hide a command that follows them.
#pragma once

#include <cstdint>
#include <vector>

#include "link/frame_protocol.h"

constexpr uint8_t SIM_CMD_SET_CHANNEL = 0x00;
constexpr uint8_t SIM_CMD_SNIFF = 0x01;
constexpr uint8_t SIM_CMD_LAST_BYTE = 0x04;

enum ESimParseResult : int32_t {
    SIM_PARSE_COMMAND = 0,        // well formed: acknowledge it
    SIM_PARSE_BAD_CHECKSUM = 1,   // 00 01 04 .. but bytes 2..5 do not add up to 0
    SIM_PARSE_BAD_END = 2,        // checksum right, last byte not 04
};

struct CSimParsed {
    int32_t m_nResult;
    uint8_t m_byFrame[RF_CMD_LEN];
};

class CSimCommandParser {
public:
    CSimCommandParser();
    // Appends what was recognised in these bytes to vecOut.
    void Feed(const uint8_t* pData, int32_t nLen, std::vector<CSimParsed>& vecOut);
    uint64_t GetSkippedBytes() const { return m_qwSkipped; }
    int32_t GetPending() const { return m_nHave; }

private:
    void Resolve(std::vector<CSimParsed>& vecOut);
    void DropFirst();

    uint8_t m_byWindow[RF_CMD_LEN];
    int32_t m_nHave;
    uint64_t m_qwSkipped;
};

// Human words for a well-formed command, e.g. "set-channel 15", "start", "stop".
void DescribeSimCommand(const uint8_t* pFrame, char* pszOut, int32_t nSize);
// "00 01 04 00 0F ED 04"
void FormatSimBytes(const uint8_t* pData, int32_t nLen, char* pszOut, int32_t nSize);
