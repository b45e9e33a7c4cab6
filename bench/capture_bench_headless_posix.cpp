#include "bench/capture_bench_headless.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "engine/capture_texts.h"

extern char** environ;

namespace {

constexpr int32_t START_WAIT_MS = 8000;
constexpr int32_t PUMP_STEP_MS = 5;
constexpr const char* TEXT_NO_ANSWER = "did not answer";

} // namespace

// The session turns its own loop: the benchmark's thread only waits.
void PumpFor(int32_t nMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

bool PumpUntil(const std::function<bool()>& fnDone, int32_t nTimeoutMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= tEnd)
            return false;
        PumpFor(PUMP_STEP_MS);
    }
    return true;
}

CBenchHeadless::~CBenchHeadless()
{
    m_session.RequestStop();
    Join();
}

bool CBenchHeadless::Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError)
{
    Join();
    const std::string strFifo = m_strDir + "/headless-" + std::to_string(++m_nRuns) + ".fifo";
    if (mkfifo(strFifo.c_str(), 0600) != 0) {
        *pstrError = "the FIFO could not be made";
        return false;
    }
    char szI[] = "-i";
    char szK[] = "-k";
    std::string strReader = pszReader;
    std::string strPath = strFifo;
    char* apszArgs[] = {strReader.data(), szI, strPath.data(), szK, nullptr};
    if (posix_spawn(&m_pidReader, pszReader, nullptr, nullptr, apszArgs, environ) != 0) {
        *pstrError = "the reader could not be launched";
        return false;
    }
    CSessionOptions opts;
    opts.m_target.m_nPort = nPort;
    opts.m_target.m_nChannel = nChannel;
    opts.m_strOutput = strFifo;
    opts.m_eOutput = EPcapFileOpen::Existing;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strLog.clear();
    }
    m_qwDoneAtStart = m_done.m_qwFrames + m_done.m_qwLost;
    m_bSniffing = false;
    m_bDone = false;
    m_thread = std::thread([this, opts] {
        m_session.Run(opts, *this);
        m_bDone = true;
    });
    PumpUntil([this] { return m_bSniffing.load() || m_bDone.load(); }, START_WAIT_MS);
    if (m_bSniffing.load())
        return true;
    std::lock_guard<std::mutex> lock(m_mtx);
    *pstrError = "the session did not reach sniffing: " + m_strLog;
    m_session.RequestStop();
    kill(m_pidReader, SIGTERM);   // it may still wait for the FIFO's writer
    return false;
}

void CBenchHeadless::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nLogAtStop = m_strLog.size();
    }
    m_session.RequestStop();
}

bool CBenchHeadless::WaitStopped(int32_t nTimeoutMs)
{
    if (!PumpUntil([this] { return m_bDone.load(); }, nTimeoutMs))
        return false;
    Join();
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_strLog.find(TEXT_NO_ANSWER, m_nLogAtStop) == std::string::npos;
}

void CBenchHeadless::Join()
{
    if (m_thread.joinable()) {
        m_thread.join();
        const CSessionStats last = m_session.GetStats();
        m_done.m_qwFrames += last.m_qwFrames;
        m_done.m_qwBytes += last.m_qwBytes;
        m_done.m_qwLost += last.m_qwLost;
    }
    if (m_pidReader > 0) {
        int nStatus = 0;
        waitpid(m_pidReader, &nStatus, 0);   // its stream ended with the output
        m_pidReader = -1;
    }
}

CSessionStats CBenchHeadless::Totals() const
{
    CSessionStats totals = m_done;
    if (m_thread.joinable()) {
        const CSessionStats now = m_session.GetStats();
        totals.m_qwFrames += now.m_qwFrames;
        totals.m_qwBytes += now.m_qwBytes;
        totals.m_qwLost += now.m_qwLost;
    }
    return totals;
}

uint64_t CBenchHeadless::RecordsDone() const
{
    const CSessionStats totals = Totals();
    return totals.m_qwFrames + totals.m_qwLost - m_qwDoneAtStart;
}

// The session counts frames whole into the output and frames lost.
CRfCounters CBenchHeadless::GetCounters() const
{
    const CSessionStats totals = Totals();
    CRfCounters counters = {};
    counters.m_qwDataFrames = totals.m_qwFrames + totals.m_qwLost;
    counters.m_qwDataBytes = totals.m_qwBytes;
    return counters;
}

CPcapPipeStats CBenchHeadless::GetPipeStats() const
{
    const CSessionStats totals = Totals();
    CPcapPipeStats stats = {};
    stats.m_qwRecordsQueued = totals.m_qwFrames;
    stats.m_qwRecordsDelivered = totals.m_qwFrames;
    stats.m_qwDroppedSlowReader = totals.m_qwLost;
    return stats;
}

void CBenchHeadless::OnSessionLine(const std::string& strLine)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_strLog += strLine + "\n";
    if (strLine == TEXT_START_OK)
        m_bSniffing = true;
}
