// qm-capture-bench: what its three processes agree on. The feeder (playing
// the dongle on a pseudo-terminal) sends data frames whose radio payload
// carries a sequence number and the moment the frame was written to the line;
// the reader (playing Wireshark on the FIFO) checks each pcap record against
// the sequence number and notes when it arrived. The rest of a payload is a
// pattern fixed by the sequence number, so a record that was cut, joined or
// shifted never passes as a real frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Payload: sequence number (4 bytes), send time (8 bytes), then the pattern.
constexpr int32_t BENCH_PAYLOAD_STAMP_LEN = 12;
constexpr int32_t BENCH_PAYLOAD_MIN = 12;
constexpr int32_t BENCH_PAYLOAD_MAX = 127;   // an IEEE 802.15.4 frame at most
constexpr int32_t BENCH_FRAME_MAX = BENCH_PAYLOAD_MAX + 17;

// Monotonic clock in nanoseconds; the same clock in every process.
int64_t BenchNowNs();
// Wall clock minus BenchNowNs, in nanoseconds (pcap stamps are wall clock).
int64_t BenchWallOffsetNs();

// Payload length of frame dwSeq (BENCH_PAYLOAD_MIN..BENCH_PAYLOAD_MAX).
int32_t BenchPayloadLength(uint32_t dwSeq);
// Total length on the line of frame dwSeq (payload + 17).
int32_t BenchFrameLength(uint32_t dwSeq);
// Appends frame dwSeq (00 01 LEN, seven bytes before the payload, the payload,
// seven after) to vecOut; returns the offset of its send-time field.
size_t BenchAppendFrame(std::vector<uint8_t>& vecOut, uint32_t dwSeq, int64_t nSendNs);
// Overwrites the send-time field at nStampOffset (as returned above).
void BenchSetSendTime(std::vector<uint8_t>& vecOut, size_t nStampOffset, int64_t nSendNs);
// True when pData/nLen is exactly the payload of some frame; gives its
// sequence number and send time.
bool BenchCheckPayload(const uint8_t* pData, int32_t nLen, uint32_t* pdwSeq, int64_t* pnSendNs);

// Orders from the benchmark to the feeder, one datagram each.
constexpr int32_t FEED_LINE_FRAMES = 1;    // line rate (m_dwRate bytes/s), one write per frame
constexpr int32_t FEED_LINE_CHUNKS = 2;    // line rate, every 1 ms one write of what is due
constexpr int32_t FEED_FLOOD = 3;          // as fast as the line takes it, large writes
constexpr int32_t FEED_PACED_FRAMES = 4;   // m_dwRate frames/s, one write per frame
constexpr int32_t FEED_QUERY = 5;          // sends nothing; reports the command counts
constexpr int32_t FEED_EXIT = 6;

struct CFeedOrder {
    int32_t m_nMode;
    uint32_t m_dwRate;     // bytes/s or frames/s, as the mode says
    uint32_t m_dwFrames;   // most frames to send; 0 = no limit
    uint32_t m_dwMs;       // longest time to send; 0 = no limit
};

// The feeder's answer to every order. A stream also ends when the stop
// command arrives, as the dongle's would.
struct CFeedReport {
    uint32_t m_dwFirstSeq;
    uint32_t m_dwFrames;
    uint64_t m_qwBytes;
    int64_t m_nFirstWriteNs;
    int64_t m_nLastWriteNs;
    int64_t m_nStopCommandNs;   // arrival of the last stop command; 0 = none yet
    uint32_t m_dwCommands;      // well-formed commands received (all acknowledged)
    uint32_t m_dwStops;
    uint32_t m_dwBadBytes;      // received bytes that were no command
    uint32_t m_dwWriteErrors;
};

// What the reader notes per record; written to a file when the stream ends.
constexpr uint32_t BENCH_SEQ_INVALID = 0xFFFFFFFFu;
struct CReaderEntry {
    uint32_t m_dwSeq;        // BENCH_SEQ_INVALID: the record is no frame that was sent
    uint32_t m_dwLen;
    int64_t m_nSendNs;
    int64_t m_nArrivalNs;
    int64_t m_nStampNs;      // the record's time stamp on the monotonic clock (µs resolution)
};

struct CReaderResult {
    bool m_bHeaderOk = false;      // the pcap global header came first
    bool m_bStreamBroken = false;  // a record header that no writer would send
    uint64_t m_qwBytes = 0;        // bytes read from the FIFO
    std::vector<CReaderEntry> m_vecEntries;
};

// Latency and loss of one sequence range as the reader saw it.
struct CRangeFigures {
    uint32_t m_dwReceived = 0;     // distinct frames of the range, intact
    uint32_t m_dwLost = 0;
    uint32_t m_dwDuplicates = 0;
    uint32_t m_dwBad = 0;          // records that match no frame sent, or out of range
    int64_t m_nLastArrivalNs = 0;
    uint32_t m_dwReads = 0;        // reads that brought the range's frames: the reader's wake-ups
    double m_dP50Ms = -1;
    double m_dP99Ms = -1;
    double m_dMaxMs = -1;
    // Time stamp error (record's stamp minus the feeder's write), µs.
    double m_dStampMinUs = 0;
    double m_dStampP50Us = 0;
    double m_dStampP99Us = 0;
    double m_dStampMaxUs = 0;
    bool m_bStamps = false;        // the figures above hold
};
CRangeFigures BenchRangeFigures(const CReaderResult& result, uint32_t dwFirstSeq, uint32_t dwFrames);
