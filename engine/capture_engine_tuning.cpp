// Retuning, hopping and surveying, and a dongle that went away and comes
// back: the parts of a capture that move it between channels or ports.
#include "engine/capture_engine.h"

#include "engine/capture_engine_ids.h"
#include "engine/channels.h"
#include "engine/capture_texts.h"
#include "engine/tuning_texts.h"

void CCaptureEngine::SetLinkType(EPcapLinkType eLinkType)
{
    if (IsRunning())
        return;
    m_eLinkType = eLinkType;
    m_output.SetLinkType(eLinkType);   // its header is written when it opens, before the port
}

void CCaptureEngine::SetHopPlan(const CChannelPlan& plan)
{
    if (!IsRunning())
        m_hopPlan = plan;
}

void CCaptureEngine::SetResumeWaitMs(uint32_t dwMs)
{
    if (!IsRunning())
        m_dwResumeWaitMs = dwMs;
}

// What every capture starts with: the channel (a plan's first one), no
// retune, no gap; a survey counts frames instead of writing them.
void CCaptureEngine::BeginCapture(const CCaptureTarget& target, bool bSurvey)
{
    m_target = target;
    m_bSurvey = bSurvey;
    if (!bSurvey)
        m_plan = m_hopPlan;   // a survey before left its own list behind
    m_nPlanAt = 0;
    m_dwSweepsDone = 0;
    if (m_plan.Hops() || (bSurvey && !m_plan.m_vecChannels.empty()))
        m_target.m_nChannel = m_plan.m_vecChannels.front();
    m_nChannel = m_target.m_nChannel;
    m_nRetuneTo = 0;
    m_bResuming = false;
    m_dwGaps = 0;
    m_qwAwayMs = 0;
    // A survey reads the MAC frames themselves.
    m_forwarder.SetLinkType(bSurvey ? EPcapLinkType::Ieee802154WithFcs : m_eLinkType);
    SetRecordChannel(m_nChannel);
}

bool CCaptureEngine::StartSurvey(const CCaptureTarget& target, const CChannelPlan& plan)
{
    if (IsRunning() || plan.m_vecChannels.empty())
        return false;
    SettlePreviousStop();
    m_plan = plan;
    if (m_plan.m_dwSweeps == 0)
        m_plan.m_dwSweeps = 1;
    m_limits = CCaptureLimits();
    m_bOutputReported = false;
    m_bOutputRemoved = false;
    m_surveySink.Reset();
    BeginCapture(target, true);
    m_recordSwitch.SetTarget(&m_surveySink);
    TakeSnapshots(false);
    Tell(DescribeSurveyPlan(m_plan));
    return OpenPort();
}

void CCaptureEngine::SetRecordChannel(int32_t nChannel)
{
    m_forwarder.SetChannel(nChannel);
    m_surveySink.SetChannel(m_bSurvey ? nChannel : 0);
}

void CCaptureEngine::KillTimers()
{
    for (uint32_t dwId : { PROGRESS_TIMER_ID, DURATION_TIMER_ID, DWELL_TIMER_ID, RESUME_TIMER_ID })
        m_wnd.KillTimer(dwId);
}

// The dongle sniffs on m_nChannel: after the start, a retune, a resume.
void CCaptureEngine::OnSniffing()
{
    m_events.OnEngineChannel(m_nChannel);
    if (m_plan.Hops() || m_bSurvey)
        m_wnd.SetTimer(DWELL_TIMER_ID, m_plan.m_dwDwellMs);
}

bool CCaptureEngine::Retune(int32_t nChannel)
{
    if (m_ePhase != ECapturePhase::Capturing || m_nRetuneTo != 0 || m_plan.Hops() || m_bSurvey
        || nChannel < CHANNEL_FIRST || nChannel > CHANNEL_LAST)
        return false;
    if (nChannel == m_nChannel) {
        Tell(DescribeRetuned(nChannel));
        m_events.OnEngineChannel(nChannel);
        return true;
    }
    m_nRetuneTo = nChannel;
    if (m_rfCtrl.Retune(nChannel) != 0) {
        Tell(DescribeRetuneFailed(nChannel));
        m_nRetuneTo = 0;
        PostStop(ESessionEnd::NoAnswer);
    }
    return true;
}

void CCaptureEngine::PostRetune(int32_t nChannel)
{
    m_wnd.PostWndMessage(WM_ENGINE_RETUNE, static_cast<WPARAM>(nChannel), 0);
}

// The steps of a retune: the stop answered (the set-channel is out), then
// the start answered; or a step that did not answer.
void CCaptureEngine::OnRetuneStatus(int32_t nState, bool bTimedOut)
{
    const int32_t nTo = m_nRetuneTo;
    if (bTimedOut) {
        m_nRetuneTo = 0;
        Tell(DescribeRetuneFailed(nTo));
        Tell(DescribeAckTimeout(nState, m_rfCtrl.GetAckTimeoutMs()));
        PostStop(ESessionEnd::NoAnswer);
        return;
    }
    if (nState == RF_STATE_WAIT_CHANNEL_ACK) {
        // Every frame of the old channel came before the stop's answer.
        m_nChannel = nTo;
        SetRecordChannel(nTo);
        return;
    }
    if (nState != RF_STATE_SNIFFING)
        return;
    m_nRetuneTo = 0;
    if (!m_plan.Hops() && !m_bSurvey)
        Tell(DescribeRetuned(m_nChannel));
    OnSniffing();
}

// The dwell on a channel is over: a survey counts the visit; both go on to
// the next channel, and a survey ends after its last sweep.
void CCaptureEngine::OnDwellTimer()
{
    m_wnd.KillTimer(DWELL_TIMER_ID);
    if (m_ePhase != ECapturePhase::Capturing || m_nRetuneTo != 0 || m_plan.m_vecChannels.empty())
        return;
    if (m_bSurvey) {
        m_surveySink.EndDwell(m_nChannel);
        m_events.OnEngineDwellDone(m_nChannel);
    }
    if (++m_nPlanAt >= m_plan.m_vecChannels.size()) {
        m_nPlanAt = 0;
        ++m_dwSweepsDone;
        if (m_bSurvey && m_dwSweepsDone >= m_plan.m_dwSweeps) {
            Tell(DescribeSurveyDone(m_dwSweepsDone));
            Stop(ESessionEnd::Stopped);
            return;
        }
    }
    const int32_t nNext = m_plan.m_vecChannels[m_nPlanAt];
    if (nNext == m_nChannel) {
        OnSniffing();
        return;
    }
    m_nRetuneTo = nNext;
    if (m_rfCtrl.Retune(nNext) != 0) {
        m_nRetuneTo = 0;
        Tell(DescribeRetuneFailed(nNext));
        PostStop(ESessionEnd::NoAnswer);
    }
}

// The dongle went away during a capture that may wait for it: the output
// stays open, the port goes, and is looked for until the wait is over.
bool CCaptureEngine::BeginResume()
{
    if (m_dwResumeWaitMs == 0)
        return false;
    if (!m_bResuming) {
        const auto now = std::chrono::steady_clock::now();
        m_awaySince = now;
        m_resumeDeadline = now + std::chrono::milliseconds(m_dwResumeWaitMs);
        Tell(DescribeAwayWaiting(DongleWhere(m_target.m_nPort, m_target.m_strDevice), m_dwResumeWaitMs));
        m_wnd.SetTimer(RESUME_TIMER_ID, RESUME_POLL_MS);
    }
    m_ePhase = ECapturePhase::Resuming;
    m_bResuming = true;
    m_nRetuneTo = 0;
    m_wnd.KillTimer(DWELL_TIMER_ID);
    m_wnd.PostWndMessage(WM_ENGINE_DROP_PORT, 0, 0);
    return true;
}

void CCaptureEngine::DropPort()
{
    if (m_ePhase == ECapturePhase::Resuming)
        m_rfCtrl.Shutdown();
}

void CCaptureEngine::OnResumeTimer()
{
    if (!m_bResuming)
        return;
    if (std::chrono::steady_clock::now() >= m_resumeDeadline) {
        Tell(DescribeNotBack(DongleWhere(m_target.m_nPort, m_target.m_strDevice), m_dwResumeWaitMs));
        m_bResuming = false;
        Stop(ESessionEnd::LineLost);
        return;
    }
    if (m_ePhase != ECapturePhase::Resuming)
        return;   // the port is open again: its handshakes run
    if (m_rfCtrl.StartCapture(m_target.m_nPort, m_nChannel, m_target.m_strDevice) != 0) {
        m_rfCtrl.Shutdown();   // not there yet
        return;
    }
    m_ePhase = ECapturePhase::Starting;
}

// The handshakes on the port that came back: it sniffs again, or (no answer)
// it is looked for again until the wait is over.
void CCaptureEngine::OnResumeStatus(bool bTimedOut)
{
    if (bTimedOut) {
        m_ePhase = ECapturePhase::Resuming;
        m_wnd.PostWndMessage(WM_ENGINE_DROP_PORT, 0, 0);
        return;
    }
    m_ePhase = ECapturePhase::Capturing;
    m_bResuming = false;
    m_wnd.KillTimer(RESUME_TIMER_ID);
    ++m_dwGaps;
    m_qwAwayMs += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_awaySince).count());
    Tell(DescribeBack(DongleWhere(m_target.m_nPort, m_target.m_strDevice)));
    OnSniffing();
}

void CCaptureEngine::TellGaps()
{
    if (m_dwGaps != 0)
        Tell(DescribeGaps(m_dwGaps, m_qwAwayMs));
}
