// The --sent-log record: one text line per MAC frame that left whole, in the
// order of the --sent-pcap records, saying where it was heard:
//   "<channel> <PAN ID of its network as 0x1a62, or -> <MAC sequence number> <MAC length>"
// so a test can tell which network each captured frame came from.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CSimSentLog {
public:
    CSimSentLog();
    ~CSimSentLog();
    CSimSentLog(const CSimSentLog&) = delete;
    CSimSentLog& operator=(const CSimSentLog&) = delete;

    bool Open(const char* pszPath, std::string& strError);
    bool IsOpen() const { return m_pFile != nullptr; }
    // Flushed at once, so a reader sees every frame sent so far.
    bool Record(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen);

private:
    std::FILE* m_pFile;
};

// The line Record writes, without its newline.
std::string FormatSimSentLine(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen);
