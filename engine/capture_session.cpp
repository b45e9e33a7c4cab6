#include "engine/capture_session.h"

#include "engine/capture_texts.h"
#include "link/msg_loop.h"

// One capture: the engine and its events, on the thread that called Run.
class CCaptureSession::CRun : public ICaptureEngineEvents {
public:
    CRun(const CSessionOptions& opts, ISessionReport& report, const std::atomic<bool>& bStopRequested)
        : m_opts(opts), m_report(report), m_bStopRequested(bStopRequested), m_engine(*this)
    {
    }

    ESessionEnd Execute();
    // Any thread. While the output waits for a FIFO's reader, nothing else
    // has started: the wait ends at once.
    void RequestStop()
    {
        if (!m_bOutputOpened.load())
            m_engine.AbortOutput();
        m_engine.PostStop(ESessionEnd::Stopped);
    }
    void RequestRetune(int32_t nChannel) { m_engine.PostRetune(nChannel); }
    CSessionStats GetStats() const { return m_engine.GetStats(); }
    std::vector<CSurveyChannel> GetSurvey() const { return m_engine.GetSurvey().GetChannels(); }
    COsError GetOutputError() const { return m_errOutput; }

    void OnEngineLine(const std::string& strLine) override { m_report.OnSessionLine(strLine); }
    void OnEngineProgress() override
    {
        m_report.OnSessionProgress(m_engine.GetStats());
        if (m_bStopRequested.load())
            m_engine.Stop(ESessionEnd::Stopped);   // in case its post was dropped
    }
    void OnEngineEnded(ESessionEnd eEnd) override
    {
        m_eEnd = eEnd;
        if (eEnd == ESessionEnd::OutputFailed)
            m_errOutput = m_engine.GetOutputError();
    }
    void OnEnginePortClosed() override { MsgLoopQuit(); }
    void OnEngineChannel(int32_t nChannel) override { m_report.OnSessionChannel(nChannel); }
    void OnEngineDwellDone(int32_t nChannel) override
    {
        m_report.OnSessionDwellDone(m_engine.GetSurvey().GetChannel(nChannel));
    }

private:
    bool OpenOutput();

    const CSessionOptions m_opts;
    ISessionReport& m_report;
    const std::atomic<bool>& m_bStopRequested;
    ESessionEnd m_eEnd = ESessionEnd::Stopped;
    COsError m_errOutput;
    std::atomic<bool> m_bOutputOpened { false };   // a stop no longer ends the output's open
    CCaptureEngine m_engine;
};

ESessionEnd CCaptureSession::CRun::Execute()
{
    if (!m_engine.Create())
        return ESessionEnd::PortFailed;
    if (m_opts.m_dwAckTimeoutMs != 0)
        m_engine.SetAckTimeoutMs(m_opts.m_dwAckTimeoutMs);
    m_engine.SetResumeWaitMs(m_opts.m_dwResumeWaitMs);
    if (m_opts.m_dwFlushHoldUs != SESSION_FLUSH_HOLD_SYSTEM)
        m_engine.SetFlushHoldUs(m_opts.m_dwFlushHoldUs);
    if (m_opts.m_bSurvey) {
        m_bOutputOpened.store(true);
        if (!m_bStopRequested.load() && m_engine.StartSurvey(m_opts.m_target, m_opts.m_plan))
            MsgLoopRun();
        else if (!m_bStopRequested.load())
            m_eEnd = ESessionEnd::PortFailed;
        m_engine.Shutdown();
        return m_eEnd;
    }
    m_engine.SetLinkType(m_opts.m_eLinkType);
    m_engine.SetHopPlan(m_opts.m_plan);
    if (!OpenOutput())
        return m_eEnd;
    // A stop asked for before the window existed could not be posted.
    if (!m_bStopRequested.load() && m_engine.StartPort(m_opts.m_target, m_opts.m_limits))
        MsgLoopRun();
    else if (!m_bStopRequested.load())
        m_eEnd = ESessionEnd::PortFailed;
    m_engine.Shutdown();
    return m_eEnd;
}

bool CCaptureSession::CRun::OpenOutput()
{
    const bool bOpened = m_engine.OpenOutput(m_opts.m_strOutput, m_opts.m_eOutput);
    m_bOutputOpened.store(true);
    if (bOpened)
        return true;
    if (m_bStopRequested.load()) {
        m_eEnd = ESessionEnd::Stopped;   // no reader came before the stop
        return false;
    }
    m_eEnd = ESessionEnd::OutputFailed;
    m_errOutput = m_engine.GetOutputError();
    m_report.OnSessionLine(DescribeOutputOpenFailure(DescribeOutputName(m_opts.m_strOutput, m_opts.m_eOutput),
        m_errOutput));
    return false;
}

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
    m_vecLastSurvey = run.GetSurvey();
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

bool CCaptureSession::RequestRetune(int32_t nChannel)
{
    std::lock_guard<std::mutex> lock(m_mtxRun);
    if (m_pRun == nullptr)
        return false;
    m_pRun->RequestRetune(nChannel);
    return true;
}

std::vector<CSurveyChannel> CCaptureSession::GetSurvey() const
{
    std::lock_guard<std::mutex> lock(m_mtxRun);
    return m_pRun != nullptr ? m_pRun->GetSurvey() : m_vecLastSurvey;
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
