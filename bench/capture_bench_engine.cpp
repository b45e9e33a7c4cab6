#include "bench/capture_bench_engine.h"

#include "link/rf_ctrl.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int32_t CONNECT_WAIT_MS = 5000;
constexpr int32_t HANDSHAKE_WAIT_MS = 3000;
constexpr int32_t RX_LABEL_PERIOD_MS = 250;   // as the dialog's Rx label
constexpr int32_t PUMP_STEP_MS = 5;

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

CBenchEngine::CBenchEngine()
{
    m_timerRx.setInterval(RX_LABEL_PERIOD_MS);
    QObject::connect(&m_timerRx, &QTimer::timeout, [this] { OnRxTimer(); });
}

CBenchEngine::~CBenchEngine()
{
    m_timerRx.stop();
    m_rfCtrl.Shutdown();
}

bool CBenchEngine::Create()
{
    if (!m_rfCtrl.Create(this, IDC_RFCTRL))
        return false;
    m_rfCtrl.SetDataSink(&m_forwarder);
    m_forwarder.SetSink(&m_pipe);
    m_pipe.SetEvents(this);
    return true;
}

bool CBenchEngine::Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError)
{
    {
        std::lock_guard<std::mutex> lock(m_mtxEvents);
        m_vecEvents.clear();
    }
    m_bLineLost = false;
    m_statsAtStart = m_pipe.GetStats();
    if (m_pipe.Open(pszReader) != 1) {
        const COsError& err = m_pipe.GetLastOpenFailure() == PIPE_FAIL_LAUNCH ? m_pipe.GetLastLaunchError()
                                                                              : m_pipe.GetLastPipeError();
        *pstrError = "the pipe did not open (failure " + std::to_string(m_pipe.GetLastOpenFailure()) + ": "
            + err.m_strText + ")";
        return false;
    }
    PumpUntil([this] { return HasPipeEvent(PIPE_EVENT_CONNECTED) || HasPipeEvent(PIPE_EVENT_CONNECT_FAILED); },
              CONNECT_WAIT_MS);
    if (!HasPipeEvent(PIPE_EVENT_CONNECTED)) {
        *pstrError = "the reader did not connect to the pipe";
        m_pipe.Disconnect();
        return false;
    }
    const size_t nStatus = m_vecStatus.size();
    if (m_rfCtrl.StartCapture(nPort, nChannel) != 0) {
        *pstrError = "the serial port did not open";
        m_pipe.Disconnect();
        return false;
    }
    PumpUntil([&] { return m_vecStatus.size() > nStatus; }, HANDSHAKE_WAIT_MS);
    if (m_vecStatus.size() <= nStatus || m_vecStatus.back() != RF_STATE_SNIFFING) {
        *pstrError = "the dongle's acknowledgements did not come";
        Stop();
        return false;
    }
    m_timerRx.start();
    return true;
}

void CBenchEngine::Stop()
{
    m_timerRx.stop();
    m_nStatusAtStop = m_vecStatus.size();
    m_rfCtrl.StopCapture();
    m_pipe.Disconnect();
}

bool CBenchEngine::WaitStopped(int32_t nTimeoutMs)
{
    return PumpUntil([this] {
        return std::find(m_vecStatus.begin() + static_cast<std::ptrdiff_t>(m_nStatusAtStop), m_vecStatus.end(),
                         RF_STATE_IDLE) != m_vecStatus.end();
    }, nTimeoutMs);
}

uint64_t CBenchEngine::PipeRecordsDone() const
{
    const CPcapPipeStats stats = m_pipe.GetStats();
    return (stats.m_qwRecordsDelivered - m_statsAtStart.m_qwRecordsDelivered)
        + (stats.m_qwDroppedNoReader - m_statsAtStart.m_qwDroppedNoReader)
        + (stats.m_qwDroppedSlowReader - m_statsAtStart.m_qwDroppedSlowReader);
}

LRESULT CBenchEngine::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_RF_STATUS && lParam == RF_STATUS_ACK)
        m_vecStatus.push_back(wParam);
    else if (nMsg == WM_RF_STATUS)
        m_vecStatus.push_back(0);   // a time-out: no state reached
    else if (nMsg == WM_RF_LINE_LOST)
        m_bLineLost = true;
    return 0;
}

void CBenchEngine::OnPipeEvent(int32_t nEvent)
{
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    m_vecEvents.push_back(nEvent);
}

bool CBenchEngine::HasPipeEvent(int32_t nEvent)
{
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    return std::find(m_vecEvents.begin(), m_vecEvents.end(), nEvent) != m_vecEvents.end();
}

void CBenchEngine::OnRxTimer()
{
    const uint64_t qwBytes = m_rfCtrl.GetCounters().m_qwDataBytes;
    if (qwBytes == m_qwRxShown)
        return;
    m_qwRxShown = qwBytes;
    std::snprintf(m_szRxLabel, sizeof(m_szRxLabel), "Rx : %llu", static_cast<unsigned long long>(qwBytes));
    ++m_qwRxUpdates;
}
