#include "bench/capture_bench_dialog.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "base/settings.h"
#include "engine/capture_texts.h"

namespace {

constexpr int32_t START_WAIT_MS = 8000;   // Wireshark connecting, then the handshakes
constexpr int32_t PUMP_STEP_MS = 5;
constexpr const char* TEXT_NO_ANSWER = "did not answer";   // in every acknowledgement time-out's line

} // namespace

void PumpFor(int32_t nMs)
{
    QEventLoop loop;
    QTimer::singleShot(nMs, &loop, &QEventLoop::quit);
    loop.exec();
}

bool PumpUntil(const std::function<bool()>& fnDone, int32_t nTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!fnDone()) {
        if (timer.elapsed() >= nTimeoutMs)
            return false;
        PumpFor(PUMP_STEP_MS);
    }
    return true;
}

void CBenchView::AppendLog(const std::string& strText)
{
    m_strLog += strText;
    for (char ch : strText)
        m_nLines += ch == '\n' ? 1 : 0;
}

void CBenchView::ReplaceLog(const std::string& strText)
{
    m_strLog.clear();
    m_nLines = 1;
    AppendLog(strText);
}

bool CBenchDevices::EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems)
{
    vecItems = {CDeviceItem {"Benchmark dongle (COM" + std::to_string(m_nPort) + ")", m_nPort}};
    return true;
}

CBenchDialog::CBenchDialog(const std::string& strDir, int32_t nPort) : m_devices(nPort)
{
    InitSettingsPathFor(strDir.c_str());
    m_pModel = std::make_unique<CCaptureModel>(m_view, m_devices);
    m_pModel->SetSettingsPathSource([strDir] { InitSettingsPathFor(strDir.c_str()); });
    m_pModel->AttachLog();
}

bool CBenchDialog::Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError)
{
    if (!m_pModel->GetEngine().IsRunning() && m_pModel->GetDevices().empty()) {
        // The first Start: the settings the dialog reads at start-up, then its start-up.
        if (WriteSettingString(SETTINGS_INDEX, "Wireshark", pszReader) != 1
            || WriteSettingInt(SETTINGS_INDEX, "ComPort", nPort) != 1
            || WriteSettingInt(SETTINGS_INDEX, "Channel", nChannel) != 1) {
            *pstrError = "the settings could not be written";
            return false;
        }
        m_pModel->OnInitDialog();
    }
    m_statsAtStart = GetPipeStats();
    const size_t nLogAtStart = m_view.Log().size();
    m_pModel->OnStart();
    CCaptureEngine& engine = m_pModel->GetEngine();
    PumpUntil([&] { return engine.GetPhase() == ECapturePhase::Capturing || !engine.IsRunning(); }, START_WAIT_MS);
    if (engine.GetPhase() == ECapturePhase::Capturing)
        return true;
    *pstrError = "the dialog's Start did not reach sniffing: " + m_view.Log().substr(nLogAtStart);
    m_pModel->OnStop();
    return false;
}

void CBenchDialog::Stop()
{
    m_nLogAtStop = m_view.Log().size();
    m_pModel->OnStop();
}

bool CBenchDialog::WaitStopped(int32_t nTimeoutMs)
{
    const CCaptureEngine& engine = m_pModel->GetEngine();
    if (!PumpUntil([&] { return !engine.IsRunning() && !engine.IsPortOpen(); }, nTimeoutMs))
        return false;
    return m_view.Log().find(TEXT_NO_ANSWER, m_nLogAtStop) == std::string::npos;
}

uint64_t CBenchDialog::RecordsDone() const
{
    const CPcapPipeStats stats = GetPipeStats();
    return (stats.m_qwRecordsDelivered - m_statsAtStart.m_qwRecordsDelivered)
        + (stats.m_qwDroppedNoReader - m_statsAtStart.m_qwDroppedNoReader)
        + (stats.m_qwDroppedSlowReader - m_statsAtStart.m_qwDroppedSlowReader);
}
