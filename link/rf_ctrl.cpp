#include "link/rf_ctrl.h"

#include <algorithm>
#include <new>

#include "link/frame_protocol.h"
#include "serial/uart_port.h"

CRFCtrl* g_pRFCtrl = nullptr;

namespace {

// WM_RF_ACK: wParam = capture number << 8 | length, lParam = body bytes 3..6
// (little-endian); the header 00 01 LEN follows from the length.
constexpr uint32_t ACK_LEN_BITS = 8;
constexpr uint32_t ACK_LEN_MASK = 0xFF;
constexpr uint32_t ACK_CAPTURE_MASK = 0x00FFFFFF;
constexpr int32_t ACK_BODY_MAX = RF_ACK_MAX_LEN - RF_HEADER_LEN;   // 4 bytes: one 32-bit lParam

// The reader's byte source: the port's receive ring, read through the port
// (which counts what it takes), or shown where it lies and then discarded,
// up to an optional stream position. Only the reader thread stores received
// bytes, and it is the one cutting here, so the count taken once holds while
// this source reads: a wake-up asks the port once, not at every step of every
// frame. A take that brings less than asked (a purge from another thread)
// counts afresh.
class CPortSource : public IRfByteSource {
public:
    explicit CPortSource(CUartPort* pPort) : m_pPort(pPort) { Recount(); }
    void LimitTo(uint64_t qwAt) { m_qwLimit = qwAt; m_bLimited = true; }
    void Unlimit() { m_bLimited = false; }
    // After bytes were taken past this source (a discard).
    void Recount()
    {
        m_nCount = m_pPort->GetRxCount();
        m_qwTaken = m_pPort->GetRxTaken();
    }

    int32_t GetCount() override
    {
        if (!m_bLimited)
            return m_nCount;
        const uint64_t qwLeft = m_qwLimit > m_qwTaken ? m_qwLimit - m_qwTaken : 0;
        return static_cast<int32_t>(std::min<uint64_t>(qwLeft, static_cast<uint64_t>(m_nCount)));
    }
    int32_t Read(uint8_t* pDst, int32_t nLen) override
    {
        const int32_t nAsk = std::min(nLen, GetCount());
        const int32_t nRead = m_pPort->Read(pDst, nAsk);
        Took(nAsk, nRead);
        return nRead;
    }
    int32_t Peek(const uint8_t** ppSrc) override
    {
        const int32_t nShown = m_pPort->PeekRx(ppSrc);
        return std::min(nShown, GetCount());
    }
    void Skip(int32_t nLen) override
    {
        const int32_t nAsk = std::min(nLen, GetCount());
        const int32_t nDropped = m_pPort->DiscardRx(nAsk);
        Took(nAsk, nDropped);
    }

private:
    // After nDone of nAsk bytes were taken: fewer means a purge from another
    // thread took the rest, and the count is asked afresh.
    void Took(int32_t nAsk, int32_t nDone)
    {
        if (nDone < nAsk) {
            Recount();
        } else if (nDone > 0) {
            m_nCount -= nDone;
            m_qwTaken += static_cast<uint64_t>(nDone);
        }
    }

    CUartPort* m_pPort;
    int32_t m_nCount = 0;
    uint64_t m_qwTaken = 0;
    uint64_t m_qwLimit = 0;
    bool m_bLimited = false;
};

} // namespace

CRFCtrl::CRFCtrl()
    : m_pPort(nullptr),
      m_nState(RF_STATE_IDLE),
      m_nRetuneChannel(0),
      m_nAckTimeoutMs(RF_ACK_TIMEOUT_MS),
      m_dwCapture(0),
      m_bLineLostPosted(false),
      m_bLineLostReported(false),
      m_qwGapsSeen(0),
      m_qwGapBytesSeen(0)
{
    m_cutter.SetAckSink(this);
}

CRFCtrl::~CRFCtrl()
{
    DisposePort();   // the reader thread has ended: nothing cuts or posts any more
    DestroyWindow();
    if (g_pRFCtrl == this)
        g_pRFCtrl = nullptr;
}

bool CRFCtrl::Create(CMsgTarget* pParent, uint32_t nID)
{
    return CreateWnd(pParent, nID);
}

void CRFCtrl::PreSubclassWindow()
{
    CMsgWnd::PreSubclassWindow();
    g_pRFCtrl = this;
}

LRESULT CRFCtrl::WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_RF_ACK:
        OnAckMessage(wParam, lParam);
        return 0;
    case WM_RF_LINE_LOST:
        OnLineLost(wParam);
        return 0;
    case WM_TIMER:
        OnTimer(static_cast<uint32_t>(wParam));
        return 0;
    default:
        return CMsgWnd::WindowProc(nMsg, wParam, lParam);
    }
}

LRESULT CRFCtrl::SendToOwner(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    if (!IsWindow())
        return 0;
    CMsgTarget* pOwner = GetParent();
    if (pOwner == nullptr)
        return 0;
    return pOwner->OnMessage(nMsg, wParam, lParam);
}

int32_t CRFCtrl::StartCapture(int32_t nPort, int32_t nChannel)
{
    return StartCapture(nPort, nChannel, std::string());
}

int32_t CRFCtrl::StartCapture(int32_t nPort, int32_t nChannel, const std::string& strDevice)
{
    if (g_pRFCtrl != this)
        g_pRFCtrl = this;
    if (m_pPort == nullptr)
        m_pPort = new (std::nothrow) CUartPort;
    if (m_pPort == nullptr)
        return -1;
    m_pPort->SetPort(nPort);   // closes an open port: no reader thread runs from here to Open
    if (!strDevice.empty())
        m_pPort->SetDevice(strDevice);
    // A new capture: no frame half-cut, no bytes of the last one, no old gaps.
    m_cutter.Reset();
    m_pPort->DiscardRx(m_pPort->GetRxCount());
    const CRxGapMark mark = m_pPort->GetRxGapMark();
    m_qwGapsSeen = mark.m_qwGaps;
    m_qwGapBytesSeen = mark.m_qwBytes;
    m_dwCapture.fetch_add(1, std::memory_order_relaxed);
    m_bLineLostPosted.store(false, std::memory_order_relaxed);
    m_bLineLostReported = false;
    if (!m_pPort->SetCommEventHook(&CRFCtrl::CommEventHook, this) || m_pPort->Open() != 1)
        return -1;
    return SendSetChannel(nChannel);
}

int32_t CRFCtrl::SendSetChannel(int32_t nChannel)
{
    uint8_t byFrame[RF_CMD_LEN];
    for (int32_t i = 0; i < RF_CMD_LEN; ++i)
        byFrame[i] = g_bySetChannelFrame11[i];
    PatchSetChannelFrame(byFrame, nChannel);
    if (!WriteCommand(byFrame))
        return -1;
    m_nState = RF_STATE_WAIT_CHANNEL_ACK;
    SetTimer(RF_ACK_TIMER_ID, m_nAckTimeoutMs);
    return 0;
}

int32_t CRFCtrl::StopCapture()
{
    if (m_pPort == nullptr)
        return -1;
    const int32_t nAccepted = m_pPort->Write(g_byStopSniffFrame, RF_CMD_LEN);
    if (nAccepted == RF_CMD_LEN) {
        m_nState = RF_STATE_WAIT_STOP_ACK;
        SetTimer(RF_ACK_TIMER_ID, m_nAckTimeoutMs);
    }
    return nAccepted;
}

int32_t CRFCtrl::Retune(int32_t nChannel)
{
    if (m_nState != RF_STATE_SNIFFING || !WriteCommand(g_byStopSniffFrame))
        return -1;
    m_nRetuneChannel = nChannel;
    m_nState = RF_STATE_WAIT_RETUNE_STOP_ACK;
    SetTimer(RF_ACK_TIMER_ID, m_nAckTimeoutMs);
    return 0;
}

int32_t CRFCtrl::Shutdown()
{
    KillTimer(RF_ACK_TIMER_ID);
    m_nState = RF_STATE_IDLE;
    DisposePort();
    return 0;
}

// Closing stops the writer thread at once, so a stop command written just
// before would otherwise never reach the dongle.
void CRFCtrl::DisposePort()
{
    if (m_pPort == nullptr)
        return;
    if (m_pPort->IsOpen())
        m_pPort->DrainTx(RF_SHUTDOWN_DRAIN_MS);
    m_pPort->Close();
    delete m_pPort;
    m_pPort = nullptr;
}

int32_t CRFCtrl::GetState() const
{
    return m_nState;
}

CUartPort* CRFCtrl::GetPort() const
{
    return m_pPort;
}

uint64_t CRFCtrl::GetLostBytes() const
{
    const CRfCounters counters = m_cutter.GetCounters();
    return counters.m_qwGapBytes + counters.m_qwNoiseBytes;
}

void CRFCtrl::SetAckTimeoutMs(uint32_t nMs)
{
    m_nAckTimeoutMs = nMs;
}

uint32_t CRFCtrl::GetAckTimeoutMs() const
{
    return m_nAckTimeoutMs;
}

void CRFCtrl::SetDataSink(IRfDataSink* pSink)
{
    m_cutter.SetDataSink(pSink);
}

CRfCounters CRFCtrl::GetCounters() const
{
    return m_cutter.GetCounters();
}

void CRFCtrl::CommEventHook(void* pContext, CUartPort* pPort, uint32_t dwEvtMask)
{
    CRFCtrl* pCtrl = static_cast<CRFCtrl*>(pContext);
    if (pCtrl == nullptr || pPort == nullptr)
        return;
    const bool bDue = (dwEvtMask & UART_EV_WAKE_DUE) != 0;
    const bool bData = (dwEvtMask & EV_RXCHAR) != 0 && pCtrl->CutReceived(pPort);
    // Records the sink held back go out by their time, bytes or none. Only a
    // batch of data frames or the time itself changes when that is.
    if (bData || bDue)
        pPort->SetWakeAt(pCtrl->m_cutter.TakeDataDue(bDue));
    if ((dwEvtMask & EV_ERR) != 0 && pPort->IsLineLost())
        pCtrl->PostLineLost();
}

// Reader thread: every complete frame that has arrived, one batch per wake-up.
bool CRFCtrl::CutReceived(CUartPort* pPort)
{
    CPortSource source(pPort);
    const CRxGapMark mark = pPort->GetRxGapMark();
    if (mark.m_qwGaps != m_qwGapsSeen) {
        // Frames that ended before the gap are whole; the one running into it is not.
        source.LimitTo(mark.m_qwAt);
        m_cutter.CutAll(source);
        const uint64_t qwTaken = pPort->GetRxTaken();
        if (mark.m_qwAt > qwTaken)
            pPort->DiscardRx(static_cast<int32_t>(mark.m_qwAt - qwTaken));
        source.Recount();
        m_cutter.OnGap(mark.m_qwGaps - m_qwGapsSeen, mark.m_qwBytes - m_qwGapBytesSeen);
        m_qwGapsSeen = mark.m_qwGaps;
        m_qwGapBytesSeen = mark.m_qwBytes;
        source.Unlimit();
    }
    m_cutter.CutAll(source);
    return m_cutter.EndBatch();
}

void CRFCtrl::OnAckFrame(const uint8_t* pFrame, int32_t nLen)
{
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    PackAck(pFrame, nLen, m_dwCapture.load(std::memory_order_relaxed), &wParam, &lParam);
    PostWndMessage(WM_RF_ACK, wParam, lParam);
}

void CRFCtrl::PostLineLost()
{
    if (m_bLineLostPosted.exchange(true, std::memory_order_relaxed))
        return;
    PostWndMessage(WM_RF_LINE_LOST, m_dwCapture.load(std::memory_order_relaxed) & ACK_CAPTURE_MASK, 0);
}

void CRFCtrl::PackAck(const uint8_t* pFrame, int32_t nLen, uint32_t dwCapture, WPARAM* pwParam,
    LPARAM* plParam)
{
    const int32_t nBody = std::clamp(nLen - RF_HEADER_LEN, 0, ACK_BODY_MAX);
    uint32_t dwBody = 0;
    for (int32_t i = 0; i < nBody; ++i)
        dwBody |= static_cast<uint32_t>(pFrame[RF_HEADER_LEN + i]) << (8 * i);
    *pwParam = static_cast<WPARAM>(((dwCapture & ACK_CAPTURE_MASK) << ACK_LEN_BITS)
        | (static_cast<uint32_t>(nBody + RF_HEADER_LEN) & ACK_LEN_MASK));
    *plParam = static_cast<LPARAM>(static_cast<int32_t>(dwBody));
}

int32_t CRFCtrl::UnpackAck(WPARAM wParam, LPARAM lParam, uint8_t* pFrame, uint32_t* pdwCapture)
{
    const uint32_t dwW = static_cast<uint32_t>(wParam);
    const int32_t nLen = static_cast<int32_t>(dwW & ACK_LEN_MASK);
    *pdwCapture = (dwW >> ACK_LEN_BITS) & ACK_CAPTURE_MASK;
    if (!RfIsAckLength(nLen))
        return 0;
    const uint32_t dwBody = static_cast<uint32_t>(lParam);
    pFrame[0] = RF_SYNC0;
    pFrame[1] = RF_SYNC1;
    pFrame[2] = static_cast<uint8_t>(nLen - RF_HEADER_LEN);
    for (int32_t i = 0; i < nLen - RF_HEADER_LEN; ++i)
        pFrame[RF_HEADER_LEN + i] = static_cast<uint8_t>(dwBody >> (8 * i));
    return nLen;
}

void CRFCtrl::OnAckMessage(WPARAM wParam, LPARAM lParam)
{
    uint8_t byFrame[RF_ACK_MAX_LEN];
    uint32_t dwCapture = 0;
    const int32_t nLen = UnpackAck(wParam, lParam, byFrame, &dwCapture);
    // An answer cut before a later StartCapture belongs to the capture before.
    if (nLen == 0 || dwCapture != (m_dwCapture.load(std::memory_order_relaxed) & ACK_CAPTURE_MASK))
        return;
    OnAck(byFrame, nLen);
}

void CRFCtrl::OnLineLost(WPARAM wParam)
{
    const uint32_t dwCapture = static_cast<uint32_t>(wParam);
    if (dwCapture != (m_dwCapture.load(std::memory_order_relaxed) & ACK_CAPTURE_MASK) || m_bLineLostReported)
        return;
    m_bLineLostReported = true;
    KillTimer(RF_ACK_TIMER_ID);
    m_nState = RF_STATE_IDLE;
    SendToOwner(WM_RF_LINE_LOST, 0, 0);
}

// The acknowledgement's content is not looked at: the link state alone says
// which command it answers.
void CRFCtrl::OnAck(const uint8_t*, int32_t)
{
    switch (m_nState) {
    case RF_STATE_WAIT_CHANNEL_ACK:
        if (WriteCommand(g_byStartSniffFrame)) {
            KillTimer(RF_ACK_TIMER_ID);
            m_nState = RF_STATE_WAIT_START_ACK;
        }
        break;
    case RF_STATE_WAIT_START_ACK:
        KillTimer(RF_ACK_TIMER_ID);
        m_nState = RF_STATE_SNIFFING;
        SendToOwner(WM_RF_STATUS, RF_STATE_SNIFFING, RF_STATUS_ACK);
        break;
    case RF_STATE_WAIT_RETUNE_STOP_ACK:
        KillTimer(RF_ACK_TIMER_ID);
        if (SendSetChannel(m_nRetuneChannel) == 0)
            SendToOwner(WM_RF_STATUS, RF_STATE_WAIT_CHANNEL_ACK, RF_STATUS_ACK);
        else {
            m_nState = RF_STATE_IDLE;   // the command could not be written: nothing is awaited
            SendToOwner(WM_RF_STATUS, RF_STATE_WAIT_CHANNEL_ACK, RF_STATUS_TIMEOUT);
        }
        break;
    case RF_STATE_WAIT_STOP_ACK:
        KillTimer(RF_ACK_TIMER_ID);
        m_nState = RF_STATE_IDLE;
        SendToOwner(WM_RF_STATUS, RF_STATE_IDLE, RF_STATUS_ACK);
        if (m_pPort != nullptr)   // the owner may have shut down meanwhile
            m_pPort->Close();
        break;
    default:
        break;
    }
    // The owner's handler may have moved the state; a handshake that is still
    // waiting gets a fresh time-out.
    if (m_nState != RF_STATE_IDLE && m_nState != RF_STATE_SNIFFING)
        SetTimer(RF_ACK_TIMER_ID, m_nAckTimeoutMs);
}

void CRFCtrl::OnTimer(uint32_t nIDEvent)
{
    if (nIDEvent != RF_ACK_TIMER_ID)
        return;
    KillTimer(RF_ACK_TIMER_ID);
    SendToOwner(WM_RF_STATUS, static_cast<WPARAM>(m_nState), RF_STATUS_TIMEOUT);
    // Whatever the owner did meanwhile (it may have sent the stop command).
    m_nState = RF_STATE_IDLE;
}

bool CRFCtrl::WriteCommand(const uint8_t* pFrame)
{
    return m_pPort != nullptr && m_pPort->Write(pFrame, RF_CMD_LEN) == RF_CMD_LEN;
}
