// The --sent-pcap record: every MAC frame that left whole, as one pcap record
// of link type 195 (like Quillmark's own capture), so a test can compare what
// Quillmark captured with what was sent, byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "pcap/pcap_stream.h"

class CSimSentPcap : public IByteSink {
public:
    CSimSentPcap();
    ~CSimSentPcap() override;
    bool Open(const char* pszPath, std::string& strError);
    // Flushed at once, so a reader sees every frame sent so far.
    bool Record(const uint8_t* pMac, int32_t nLen);
    bool IsOpen() const { return m_pFile != nullptr; }
    int32_t WriteBytes(const uint8_t* p, int32_t n) override;

private:
    std::FILE* m_pFile;
    CPcapStreamWriter m_writer;
};
