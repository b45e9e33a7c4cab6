// The scan (a survey of every channel, shown live as bars, whose channel the
// user may take) and the retune of a running capture to the box's channel.
#include "shell/model/capture_model.h"

#include "engine/capture_texts.h"
#include "engine/channels.h"
#include "shell/model/activity_log.h"
#include "shell/model/scan_chart.h"

#include <algorithm>

namespace {

constexpr uint32_t SCAN_SWEEPS = 1;

} // namespace

void CCaptureModel::SetScanDwellMs(uint32_t dwMs)
{
    m_dwScanDwellMs = std::clamp(dwMs, CHANNEL_DWELL_MIN_MS, CHANNEL_DWELL_MAX_MS);
}

void CCaptureModel::OnScan()
{
    if (m_engine.IsRunning())
        return;   // Scan is disabled then
    if (m_nDeviceSel < 0 || static_cast<size_t>(m_nDeviceSel) >= m_vecDevices.size()) {
        LogPrintf("%s\n", TEXT_NO_DEVICE);
        return;
    }
    CChannelPlan plan;
    plan.m_vecChannels = AllChannels();
    plan.m_dwDwellMs = m_dwScanDwellMs;
    plan.m_dwSweeps = SCAN_SWEEPS;
    // Set first: a port that fails to open ends the scan inside StartSurvey.
    m_bScanning = true;
    if (!m_engine.StartSurvey(TargetShown(), plan)) {
        m_bScanning = false;
        return;
    }
    SetRunning(true);
    ShowSurveyNow(true);
}

void CCaptureModel::ShowSurveyNow(bool bRunning)
{
    m_view.ShowSurvey(m_engine.GetSurvey().GetChannels(), bRunning ? m_engine.GetChannel() : 0, bRunning);
}

// A scan that ran (stopped, done, or the dongle lost) leaves its counts in
// the log; one that never got going leaves the lines that say why.
void CCaptureModel::EndScan(ESessionEnd eEnd)
{
    m_bScanning = false;
    if (eEnd == ESessionEnd::PortFailed)
        return;   // no window was shown
    ShowSurveyNow(false);
    if (eEnd != ESessionEnd::Stopped && eEnd != ESessionEnd::LineLost)
        return;
    for (const std::string& strLine : DescribeScanResult(m_engine.GetSurvey().GetChannels()))
        LogPrintf("%s\n", strLine.c_str());
}

void CCaptureModel::OnTakeChannel(int32_t nChannel)
{
    if (!IsValidChannel(nChannel))
        return;
    OnChannelChosen(nChannel - CHANNEL_FIRST);
    m_view.ShowChannel(m_nChannelSel);
}

void CCaptureModel::OnEngineChannel(int32_t /*nChannel*/)
{
    if (m_bScanning) {
        ShowSurveyNow(true);
        return;
    }
    ShowRetuning(false);
    // The box may have moved on while the dongle started or retuned. This
    // runs inside the controller's handler: the next retune waits for it.
    if (m_engine.GetChannel() != CHANNEL_FIRST + m_nChannelSel)
        m_wnd.PostWndMessage(WM_MODEL_RETUNE, 0, 0);
}

void CCaptureModel::OnEngineDwellDone(int32_t /*nChannel*/)
{
    if (m_bScanning)
        ShowSurveyNow(true);
}

// A capture that sniffs follows the box; one that is still starting (or
// waits for its dongle) follows it once it sniffs again.
void CCaptureModel::RetuneToBox()
{
    const int32_t nWanted = CHANNEL_FIRST + m_nChannelSel;
    if (m_bScanning || m_engine.GetPhase() != ECapturePhase::Capturing || m_engine.IsRetuning()
        || m_engine.GetChannel() == nWanted)
        return;
    if (m_engine.Retune(nWanted) && m_engine.IsRetuning())
        ShowRetuning(true);
}

void CCaptureModel::ShowRetuning(bool bRetuning)
{
    if (bRetuning == m_bRetuneShown)
        return;
    m_bRetuneShown = bRetuning;
    m_view.ShowRetuning(bRetuning);
}
