#include "engine/capture_session.h"

#include "engine/capture_session_run.h"

CCaptureSession::CCaptureSession() : m_bStopRequested(false), m_pRun(nullptr)
{
}

CCaptureSession::~CCaptureSession() = default;

ESessionEnd CCaptureSession::Run(const CSessionOptions& opts, ISessionReport& report)
{
    if (m_bStopRequested.exchange(false))
        return ESessionEnd::Stopped;   // asked to stop before anything started
    CRun run(opts, report, m_bStopRequested);
    {
        std::lock_guard<std::mutex> lock(m_mtxRun);
        m_pRun = &run;
        m_errOutput = COsError();
    }
    const ESessionEnd eEnd = run.Execute();
    std::lock_guard<std::mutex> lock(m_mtxRun);
    m_lastStats = run.GetStats();
    m_errOutput = run.GetOutputError();
    m_pRun = nullptr;
    m_bStopRequested.store(false);   // a stop during this run was for this run
    return eEnd;
}

void CCaptureSession::RequestStop()
{
    m_bStopRequested.store(true);
    std::lock_guard<std::mutex> lock(m_mtxRun);
    if (m_pRun != nullptr)
        m_pRun->RequestStop();
}

CSessionStats CCaptureSession::GetStats() const
{
    std::lock_guard<std::mutex> lock(m_mtxRun);
    return m_pRun != nullptr ? m_pRun->GetStats() : m_lastStats;
}

COsError CCaptureSession::GetOutputError() const
{
    std::lock_guard<std::mutex> lock(m_mtxRun);
    return m_errOutput;
}
