// qm-capture-bench: the headless session's wiring, as quillmark-capture runs
// it: the session on the portable window loop (on a thread of its own here,
// as Run blocks), records into a FIFO the benchmark made, read by the
// benchmark's reader, which this wiring launches itself as "Wireshark".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "bench/capture_bench_wiring.h"
#include "engine/capture_session.h"

class CBenchHeadless : public IBenchWiring, private ISessionReport {
public:
    explicit CBenchHeadless(const std::string& strDir) : m_strDir(strDir) {}
    ~CBenchHeadless() override;

    bool Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError) override;
    void Stop() override;
    bool WaitStopped(int32_t nTimeoutMs) override;
    uint64_t RecordsDone() const override;
    CRfCounters GetCounters() const override;
    CPcapPipeStats GetPipeStats() const override;
    CUartPort* GetPort() const override { return nullptr; }

private:
    void OnSessionLine(const std::string& strLine) override;
    void OnSessionProgress(const CSessionStats&) override {}
    CSessionStats Totals() const;
    void Join();

    std::string m_strDir;
    int32_t m_nRuns = 0;
    CCaptureSession m_session;
    std::thread m_thread;
    std::atomic<bool> m_bSniffing { false };
    std::atomic<bool> m_bDone { true };
    pid_t m_pidReader = -1;
    mutable std::mutex m_mtx;           // guards m_strLog
    std::string m_strLog;
    size_t m_nLogAtStop = 0;
    CSessionStats m_done = {};          // the runs that ended
    uint64_t m_qwDoneAtStart = 0;
};
