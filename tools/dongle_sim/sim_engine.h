// The simulated dongle's behaviour, free of any I/O: commands in, bytes out,
// driven by a clock the caller passes in. The main loop feeds it what the
// host wrote, writes what it hands out and sleeps until GetNextWakeUs.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/dongle_sim/sim_command_parser.h"
#include "tools/dongle_sim/sim_options.h"
#include "tools/dongle_sim/sim_random.h"
#include "tools/dongle_sim/sim_source.h"

constexpr uint64_t SIM_NEVER = UINT64_MAX;
constexpr uint32_t SIM_LINE_US_PER_BYTE = 10;          // 1,000,000 baud, 8N1
constexpr uint64_t SIM_CATCH_UP_LIMIT_US = 50000;      // after a stall, resume rather than flood
constexpr int32_t SIM_INITIAL_CHANNEL = 11;

class ISimEvents {
public:
    virtual ~ISimEvents() = default;
    virtual void Log(const std::string& strLine) = 0;                 // one line, no newline
    virtual void FrameSent(const uint8_t* pMac, int32_t nLen) = 0;    // a data frame left whole
    // The same, with the channel it was heard on and the PAN ID of its
    // network (SIM_PAN_UNKNOWN when none is known); the engine calls this one.
    virtual void FrameSentOn(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen)
    {
        (void)nChannel;
        (void)nPanId;
        FrameSent(pMac, nLen);
    }
};

struct CSimStats {
    uint64_t m_qwCommands = 0;      // well-formed command frames
    uint64_t m_qwSetChannel = 0;
    uint64_t m_qwStart = 0;
    uint64_t m_qwStop = 0;
    uint64_t m_qwUnknown = 0;
    uint64_t m_qwBadFrames = 0;     // bad checksum or last byte: not acknowledged
    uint64_t m_qwSkippedRx = 0;     // stray bytes from the host
    uint64_t m_qwAcks = 0;          // acknowledgements written whole
    uint64_t m_qwAcksDropped = 0;   // due while no host had the port open
    uint64_t m_qwFrames = 0;        // data frames written whole
    uint64_t m_qwFrameBytes = 0;    // their bytes, headers included
    uint64_t m_qwPayloadBytes = 0;  // their MAC frames' bytes
    uint64_t m_qwGarbageBytes = 0;
    uint64_t m_qwBytes = 0;         // everything written to the line
};

// "summary commands=3 set_channel=1 ... channel=15"
std::string FormatSimSummary(const CSimStats& stats, int32_t nChannel);

class CSimEngine {
public:
    CSimEngine(const CSimOptions& opts, ISimPayloadSource& source, ISimEvents& events, uint64_t qwStartUs);

    void OnReceived(const uint8_t* pData, int32_t nLen, uint64_t qwNowUs);
    // The last host closed the port. What was still to be sent is dropped:
    // nobody would read it, and the host that opens the port next must not
    // find stale acknowledgements.
    void OnHostClosed();
    void OnHostOpened(uint64_t qwNowUs);
    bool IsHostPresent() const { return m_bHostPresent; }
    // Whether a host has the port open when the engine starts (no log line).
    void SetInitialHostPresence(bool bPresent) { m_bHostPresent = bPresent; }
    // Releases due acknowledgements and queues the next data frame when one is due.
    void Tick(uint64_t qwNowUs);

    bool HasOutput() const { return !m_queOut.empty(); }
    // The unwritten rest of the first queued block.
    const uint8_t* GetOutput(int32_t& nLen) const;
    void OnWritten(int32_t nBytes);
    uint64_t GetNextWakeUs() const;
    bool WantsHangup() const;

    bool IsStreaming() const { return m_bStreaming; }
    int32_t GetChannel() const { return m_nChannel; }
    const CSimStats& GetStats() const { return m_stats; }

private:
    enum { CHUNK_ACK = 1, CHUNK_FRAME = 2 };
    struct CChunk {
        std::vector<uint8_t> m_by;
        int32_t m_nDone;
        int32_t m_nKind;
        int32_t m_nGarbage;   // stray bytes in front of the frame
        int32_t m_nChannel;   // a frame's: where it was heard, and its network
        int32_t m_nPanId;
    };
    struct CPendingAck {
        uint64_t m_qwDueUs;
        uint8_t m_byFrame[RF_CMD_LEN];
    };

    void OnCommand(const uint8_t* pFrame, uint64_t qwNowUs);
    void OnSetChannel(uint8_t byChannel, uint64_t qwNowUs);
    void DropUnstartedFrame();
    bool HasNetworks() const { return !m_opts.m_vecNetworks.empty(); }
    void QueueAck(const uint8_t* pAck);
    bool FrameBudgetLeft() const;
    bool MayQueueFrame() const;
    void QueueFrame(uint64_t qwNowUs);
    void CompleteChunk(const CChunk& chunk);

    const CSimOptions& m_opts;
    ISimPayloadSource& m_source;
    ISimEvents& m_events;
    CSimRandom m_rng;
    CSimCommandParser m_parser;
    std::vector<CSimParsed> m_vecParsed;
    std::deque<CChunk> m_queOut;
    std::deque<CPendingAck> m_quePendingAcks;
    CSimStats m_stats;
    uint64_t m_qwStartUs;
    double m_dNextFrameUs;
    int64_t m_nFramesQueued;   // frames handed to the line or on their way
    int64_t m_nBurstLeft;
    int32_t m_nChannel;
    uint16_t m_wCounter;
    uint8_t m_byLastQueued;
    bool m_bStreaming;
    bool m_bEverStarted;
    bool m_bHostPresent;
    bool m_bFrameQueued;
    bool m_bLimitLogged;
};
