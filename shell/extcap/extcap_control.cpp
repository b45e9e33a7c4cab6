#include "shell/extcap/extcap_control.h"

#include <chrono>

namespace {

// A read waits this long at most, between looks at the stop flag.
constexpr uint32_t CONTROL_READ_WAIT_MS = 1000;
constexpr size_t CONTROL_READ_BYTES = 4096;

} // namespace

CExtcapControl::CExtcapControl(std::unique_ptr<IControlPipes> pPipes, const std::string& strIn,
    const std::string& strOut, int32_t nChannel, bool bHopping, std::function<bool(int32_t)> fnRetune)
    : m_pPipes(std::move(pPipes)), m_strIn(strIn), m_strOut(strOut), m_fnRetune(std::move(fnRetune)),
      m_toolbar(nChannel, bHopping)
{
}

CExtcapControl::~CExtcapControl()
{
    Stop();
}

void CExtcapControl::Start()
{
    if (!m_thread.joinable() && (!m_strIn.empty() || !m_strOut.empty()))
        m_thread = std::thread([this] { ThreadMain(); });
}

void CExtcapControl::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxStop);
        m_bStop.store(true);
    }
    m_cvStop.notify_all();
    m_pPipes->Wake();
    if (m_thread.joinable())
        m_thread.join();
}

void CExtcapControl::OnChannel(int32_t nChannel)
{
    Step([nChannel](CExtcapToolbar& toolbar) { return toolbar.OnChannel(nChannel); });
}

void CExtcapControl::OnLine(const std::string& strLine)
{
    Step([&strLine](CExtcapToolbar& toolbar) { return toolbar.OnLine(strLine); });
}

void CExtcapControl::OnFailed(const std::string& strText)
{
    Step([&strText](CExtcapToolbar& toolbar) { return toolbar.OnFailed(strText); });
}

// One step of the toolbar: its messages go out under the lock (so they stay
// in order), the retune it asks for is asked after it.
void CExtcapControl::Step(const std::function<CToolbarActions(CExtcapToolbar&)>& fnStep)
{
    int32_t nRetuneTo = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        const CToolbarActions actions = fnStep(m_toolbar);
        for (const CControlMsg& msg : actions.m_vecSend) {
            if (m_pPipes->Write(EncodeControlMsg(msg), m_bStalled ? 0 : CONTROL_WRITE_WAIT_MS)) {
                m_bStalled = false;
                continue;
            }
            m_bStalled = true;
            m_dwDropped.fetch_add(1);
        }
        nRetuneTo = actions.m_nRetuneTo;
    }
    if (nRetuneTo != 0 && !m_fnRetune(nRetuneTo))
        Step([](CExtcapToolbar& toolbar) { return toolbar.OnRetuneRefused(); });
}

// True once our pipe to Wireshark is open (or can never be).
bool CExtcapControl::TryOpenOut()
{
    EControlOpen eOpen;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        eOpen = m_pPipes->TryOpenOut(m_strOut);
    }
    if (eOpen == EControlOpen::Open)
        Step([](CExtcapToolbar& toolbar) { return toolbar.OnOutOpened(); });
    return eOpen != EControlOpen::NotYet;
}

void CExtcapControl::WaitStop(uint32_t dwMs)
{
    std::unique_lock<std::mutex> lock(m_mtxStop);
    m_cvStop.wait_for(lock, std::chrono::milliseconds(dwMs), [this] { return m_bStop.load(); });
}

void CExtcapControl::ThreadMain()
{
    bool bReading = !m_strIn.empty() && m_pPipes->OpenIn(m_strIn) == EControlOpen::Open;
    bool bOutDone = m_strOut.empty();
    uint8_t abyBuf[CONTROL_READ_BYTES];
    while (!m_bStop.load() && (bReading || !bOutDone)) {
        if (!bOutDone)
            bOutDone = TryOpenOut();
        const uint32_t dwWaitMs = bOutDone ? CONTROL_READ_WAIT_MS : CONTROL_OUT_RETRY_MS;
        if (!bReading) {
            WaitStop(dwWaitMs);
            continue;
        }
        size_t cbRead = 0;
        switch (m_pPipes->Read(abyBuf, sizeof(abyBuf), cbRead, dwWaitMs)) {
        case EControlRead::Data:
            ReadMessages(abyBuf, cbRead);
            break;
        case EControlRead::Idle:
            break;
        case EControlRead::End:      // Wireshark closed the toolbar's pipe: the capture itself goes on
        case EControlRead::Failed:
            bReading = false;
            break;
        }
    }
}

void CExtcapControl::ReadMessages(uint8_t* pBuf, size_t cb)
{
    m_decoder.Feed(pBuf, cb);
    CControlMsg msg;
    while (m_decoder.Next(msg))
        Step([&msg](CExtcapToolbar& toolbar) { return toolbar.OnMessage(msg); });
}
