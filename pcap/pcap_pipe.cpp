#include "pcap/pcap_pipe.h"

#include <cerrno>
#include <cstdio>

#include "pcap/launch.h"
#include "pcap/pcap_stream.h"

// The diagnostic lines go to standard output only; a windowed program shows
// them nowhere unless its output is redirected.
static void PrintPipeOpenError()
{
    printf("Pipe open error!\r\n");
    fflush(stdout);
}

CPcapPipe::CPcapPipe()
    : m_hPipe(INVALID_PIPE_HANDLE),
      m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS),
      m_dwReconnectTimeoutMs(PIPE_RECONNECT_TIMEOUT_MS),
      m_nLastLaunchError(0),
      m_nLastOpenFailure(PIPE_FAIL_NONE),
      m_nLastPipeError(0),
      m_nLastWaitResult(PIPE_WAIT_CONNECTED)
{
}

CPcapPipe::~CPcapPipe()
{
    // Drops the client and removes the FIFO.
    if (m_hPipe != INVALID_PIPE_HANDLE) {
        PipeCloseInstance(m_hPipe);
        m_hPipe = INVALID_PIPE_HANDLE;
    }
}

void CPcapPipe::SetTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_dwConnectTimeoutMs = dwConnectMs;
    m_dwReconnectTimeoutMs = dwReconnectMs;
}

int32_t CPcapPipe::GetLastLaunchError() const
{
    return m_nLastLaunchError;
}

const char* CPcapPipe::GetPipePath() const
{
    m_strPipePath = m_hPipe != INVALID_PIPE_HANDLE ? PipeInstancePath(m_hPipe) : PipeDefaultPath();
    return m_strPipePath.c_str();
}

int32_t CPcapPipe::GetState() const
{
    if (m_hPipe == INVALID_PIPE_HANDLE)
        return PIPE_STATE_CLOSED;
    return PipeHasClient(m_hPipe) ? PIPE_STATE_CONNECTED : PIPE_STATE_IDLE;
}

int32_t CPcapPipe::GetLastOpenFailure() const
{
    return m_nLastOpenFailure;
}

int32_t CPcapPipe::GetLastPipeError() const
{
    return m_nLastPipeError;
}

int32_t CPcapPipe::Open(const char* pszPath)
{
    m_nLastOpenFailure = PIPE_FAIL_NONE;
    m_nLastLaunchError = 0;
    m_nLastPipeError = 0;
    // Start is never pressed during a capture; should it happen anyway, a
    // second global header in the middle of the old client's stream would
    // wreck it, so the old client is dropped first, as Stop would.
    Disconnect();

    if (m_hPipe == INVALID_PIPE_HANDLE) {
        int32_t nError = 0;
        m_hPipe = PipeCreateInstance(&nError);
        if (m_hPipe == INVALID_PIPE_HANDLE) {
            m_nLastPipeError = nError;
            m_nLastOpenFailure = PIPE_FAIL_CREATE;
            PrintPipeOpenError();
            return 0;
        }
    }

    const std::string strPipe = PipeInstancePath(m_hPipe);
    const char* const pszArgs[] = {"-i", strPipe.c_str(), "-k"};
    const int32_t nLaunch = LaunchDetached(pszPath, pszArgs, 3);
    if (nLaunch != 0) {
        // The pipe stays for the next attempt.
        m_nLastLaunchError = nLaunch;
        m_nLastOpenFailure = PIPE_FAIL_LAUNCH;
        printf("Error: execute failed! err_code=%d\n", static_cast<int>(nLaunch));
        fflush(stdout);
        return 0;
    }
    printf("execute success !\n");
    fflush(stdout);

    m_hPipe = ConnectWithTimeout(m_hPipe, m_dwConnectTimeoutMs);
    if (m_hPipe == INVALID_PIPE_HANDLE) {
        m_nLastOpenFailure = m_nLastWaitResult == PIPE_WAIT_TIMEOUT ? PIPE_FAIL_CONNECT_TIMEOUT
                                                                    : PIPE_FAIL_CONNECT_ERROR;
        PrintPipeOpenError();
        return 0;
    }
    WriteGlobalHeader();   // its outcome shows up at the first record
    return 1;
}

PIPE_HANDLE CPcapPipe::ConnectWithTimeout(PIPE_HANDLE hPipe, uint32_t dwTimeoutMs)
{
    int32_t nError = 0;
    m_nLastWaitResult = PipeWaitForClient(hPipe, dwTimeoutMs, &nError);
    if (m_nLastWaitResult == PIPE_WAIT_CONNECTED)
        return hPipe;
    m_nLastPipeError = m_nLastWaitResult == PIPE_WAIT_TIMEOUT ? ETIMEDOUT : nError;
    PipeCloseInstance(hPipe);
    return INVALID_PIPE_HANDLE;
}

bool CPcapPipe::WriteGlobalHeader()
{
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader);
    return PipeWrite(m_hPipe, byHeader, PCAP_GLOBAL_HEADER_LEN) == PCAP_GLOBAL_HEADER_LEN;
}

void CPcapPipe::WriteRecordHeader(uint32_t dwLen)
{
    uint8_t byHeader[PCAP_RECORD_HEADER_LEN];
    BuildPcapRecordHeader(byHeader, dwLen, PcapNow());
    if (PipeWrite(m_hPipe, byHeader, PCAP_RECORD_HEADER_LEN) > 0)
        return;
    // Nothing moved: the client has gone (or none was connected). Wait for
    // some client to open the pipe again; no new Wireshark is launched.
    PipeReleaseClient(m_hPipe);
    m_hPipe = ConnectWithTimeout(m_hPipe, m_dwReconnectTimeoutMs);
    if (m_hPipe == INVALID_PIPE_HANDLE)
        return;
    WriteGlobalHeader();
    // The same bytes: the record keeps the time stamp taken before the wait.
    PipeWrite(m_hPipe, byHeader, PCAP_RECORD_HEADER_LEN);
}

void CPcapPipe::WritePacket(const uint8_t* pData, int32_t nLen)
{
    if (m_hPipe == INVALID_PIPE_HANDLE)
        return;
    if (nLen < 0 || static_cast<uint32_t>(nLen) > PCAP_SNAPLEN || (pData == nullptr && nLen > 0))
        return;
    // Idle means Stop (or a failed launch) let the client go on purpose: a
    // frame the dongle still sends then has nobody to go to, and waiting for a
    // client here would freeze the window for the whole reconnect wait.
    if (!PipeHasClient(m_hPipe))
        return;
    WriteRecordHeader(static_cast<uint32_t>(nLen));
    if (m_hPipe == INVALID_PIPE_HANDLE)
        return;   // the reconnect failed: nothing of this packet goes anywhere
    PipeWrite(m_hPipe, pData, nLen);
}

void CPcapPipe::Disconnect()
{
    if (m_hPipe != INVALID_PIPE_HANDLE)
        PipeDisconnectClient(m_hPipe);
}
