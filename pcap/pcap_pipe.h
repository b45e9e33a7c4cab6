// The server end of the pipe that Wireshark captures from: launches
// Wireshark on it, waits for it to connect, and writes the pcap stream — the
// global header once per client, then a record header and the payload per
// frame. When the client goes away mid-capture it waits for another one and
// starts the stream again for it.
//
// States: Closed (no pipe instance), Idle (an instance, no client) and
// Connected (a client that has had the global header).
#pragma once

#include <cstdint>
#include <string>

#include "pcap/pipe_api.h"

constexpr uint32_t PIPE_CONNECT_TIMEOUT_MS = 25000;     // first client after the launch
constexpr uint32_t PIPE_RECONNECT_TIMEOUT_MS = 20000;   // a new client after the old one went

constexpr int32_t PIPE_STATE_CLOSED = 0;
constexpr int32_t PIPE_STATE_IDLE = 1;
constexpr int32_t PIPE_STATE_CONNECTED = 2;

// Why the last Open returned 0.
constexpr int32_t PIPE_FAIL_NONE = 0;
constexpr int32_t PIPE_FAIL_CREATE = 1;           // the pipe could not be made (GetLastPipeError)
constexpr int32_t PIPE_FAIL_LAUNCH = 2;           // Wireshark did not start (GetLastLaunchError)
constexpr int32_t PIPE_FAIL_CONNECT_TIMEOUT = 3;  // no client within the wait
constexpr int32_t PIPE_FAIL_CONNECT_ERROR = 4;    // the wait failed (GetLastPipeError)

class CPcapPipe {
public:
    CPcapPipe();
    virtual ~CPcapPipe();
    CPcapPipe(const CPcapPipe&) = delete;
    CPcapPipe& operator=(const CPcapPipe&) = delete;

    // Creates the pipe unless one is kept from an earlier capture, launches
    // pszPath with "-i <pipe> -k" and waits for it to connect. 1 when a client
    // is connected and has been sent the global header, 0 on any failure.
    // Prints its diagnostic lines on standard output.
    int32_t Open(const char* pszPath);

    // One record: header, then the nLen payload bytes from pData. Dropped
    // without a write when there is no client (Closed, or Idle after Stop or a
    // failed launch), and refused (dropped the same
    // way) when nLen is negative or past the 65535-byte snaplen, which would
    // make every reader give up on the stream. May block: while the client
    // reads slowly, and up to the reconnect wait when it has gone.
    void WritePacket(const uint8_t* pData, int32_t nLen);

    // Drops the client; the pipe stays for the next Open.
    void Disconnect();

    void SetTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);   // tests
    int32_t GetLastLaunchError() const;   // error number of the last failed launch, 0 if none
    const char* GetPipePath() const;      // the FIFO path

    int32_t GetState() const;             // PIPE_STATE_*
    int32_t GetLastOpenFailure() const;   // PIPE_FAIL_*
    int32_t GetLastPipeError() const;     // errno-style code of the last create/connect error

private:
    // Returns hPipe once a client is connected; otherwise closes hPipe and
    // returns INVALID_PIPE_HANDLE.
    PIPE_HANDLE ConnectWithTimeout(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs);
    bool WriteGlobalHeader();
    // Writes the header for a payload of dwLen bytes, and when that moves
    // nothing waits for a new client and sends it the global header and the
    // same header bytes again.
    void WriteRecordHeader(uint32_t dwLen);

    PIPE_HANDLE m_hPipe;
    uint32_t m_dwConnectTimeoutMs;
    uint32_t m_dwReconnectTimeoutMs;
    int32_t m_nLastLaunchError;
    int32_t m_nLastOpenFailure;
    int32_t m_nLastPipeError;
    int32_t m_nLastWaitResult;
    mutable std::string m_strPipePath;
};
