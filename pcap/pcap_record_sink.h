// Where the capture side hands its pcap records: the pipe link towards
// Wireshark today, a file or standard output later. Records are collected into
// a batch and handed on in one piece, so that one wake-up of the capture side
// costs one write however many frames it found.
#pragma once

#include <cstdint>

#include "pcap/pcap_stream.h"

class IPcapRecordSink {
public:
    virtual ~IPcapRecordSink() = default;
    // One record (nLen payload bytes, stamped tm) joins the current batch. A
    // length past the snaplen, a negative one, or a null pointer with a length
    // is refused. Capture side: one thread at a time.
    virtual void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) = 0;
    // Hands the batch on whole; a batch is delivered whole or its records are
    // dropped whole and counted, never cut. Capture side.
    virtual void FlushRecords() = 0;
};
