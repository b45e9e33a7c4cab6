// A pcap stream's byte sink that writes to a file, for captures that libpcap
// and tshark then read back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "pcap/pcap_stream.h"

class CFileSink : public IByteSink {
public:
    explicit CFileSink(const std::string& strPath) : m_pFile(std::fopen(strPath.c_str(), "wb")) {}
    ~CFileSink() override { Close(); }
    CFileSink(const CFileSink&) = delete;
    CFileSink& operator=(const CFileSink&) = delete;

    // Flushes and closes the file; later writes take nothing.
    void Close()
    {
        if (m_pFile != nullptr)
            std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    int32_t WriteBytes(const uint8_t* p, int32_t n) override
    {
        return m_pFile == nullptr ? 0 : static_cast<int32_t>(std::fwrite(p, 1, static_cast<size_t>(n), m_pFile));
    }

    std::FILE* m_pFile;   // null when the file could not be made
};
