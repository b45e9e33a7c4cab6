#include "link/rf_ctrl.h"

#include <new>

#include "link/frame_protocol.h"
#include "serial/uart_port.h"
#include "shell/settings.h"

CRFCtrl* g_pRFCtrl = nullptr;

CRFCtrl::CRFCtrl()
    : m_pPort(nullptr),
      m_nState(RF_STATE_IDLE),
      m_nAckTimeoutMs(RF_ACK_TIMEOUT_MS),
      m_qwLostOnDisposedPorts(0),
      m_source(*this)
{
}

CRFCtrl::~CRFCtrl()
{
    DisposePort();
    DestroyWindow();
    if (g_pRFCtrl == this)
        g_pRFCtrl = nullptr;   // the port's threads are gone; nobody posts to us any more
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
    case WM_RF_RX_READY:
        return OnRxReady(wParam, lParam);
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

int32_t CRFCtrl::StartCapture()
{
    const int32_t nPort = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
    const int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", 11);
    // The reader thread of a running capture reads this pointer; only write it
    // when it changes (it changes only while no port of ours is open).
    if (g_pRFCtrl != this)
        g_pRFCtrl = this;
    if (m_pPort == nullptr)
        m_pPort = new (std::nothrow) CUartPort;
    if (m_pPort == nullptr)
        return -1;
    m_pPort->SetPort(nPort);   // closes an open port, so no reader thread runs now
    m_pPort->m_pfnCommEvent = &CRFCtrl::CommEventHook;
    if (m_pPort->Open() != 1)
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
    m_qwLostOnDisposedPorts += m_pPort->GetRxOverflowBytes();
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
    const uint64_t qwPort = m_pPort != nullptr ? m_pPort->GetRxOverflowBytes() : 0;
    return m_qwLostOnDisposedPorts + qwPort + m_reader.GetDroppedBytes();
}

void CRFCtrl::SetAckTimeoutMs(uint32_t nMs)
{
    m_nAckTimeoutMs = nMs;
}

void CRFCtrl::CommEventHook(CUartPort*, uint32_t dwEvtMask)
{
    if ((dwEvtMask & EV_RXCHAR) == 0)
        return;
    CRFCtrl* pCtrl = g_pRFCtrl;
    if (pCtrl != nullptr)
        pCtrl->PostWndMessage(WM_RF_RX_READY, 0, static_cast<LPARAM>(dwEvtMask));
}

LRESULT CRFCtrl::OnRxReady(WPARAM, LPARAM)
{
    // A message still queued when Shutdown deleted the port finds none.
    if (m_pPort == nullptr)
        return 0;
    m_reader.Step(m_source, *this);
    return 0;
}

void CRFCtrl::RequestRerun()
{
    if (g_pRFCtrl != nullptr)
        g_pRFCtrl->PostWndMessage(WM_RF_RX_READY, 0, 1);
}

void CRFCtrl::DeliverFrame(const uint8_t* pFrame, int32_t nLen)
{
    if (nLen > RF_ACK_MAX_LEN)
        SendToOwner(WM_RF_FRAME, reinterpret_cast<WPARAM>(pFrame), nLen);
    else
        OnAck(pFrame, nLen);
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

int32_t CRFCtrl::CPortSource::GetCount()
{
    CUartPort* pPort = m_ctrl.m_pPort;
    if (pPort == nullptr || pPort->m_pRxBuffer == nullptr)
        return 0;
    return pPort->m_pRxBuffer->GetCount();
}

int32_t CRFCtrl::CPortSource::Read(uint8_t* pDst, int32_t nLen)
{
    CUartPort* pPort = m_ctrl.m_pPort;
    return pPort != nullptr ? pPort->Read(pDst, nLen) : 0;
}

void CRFCtrl::SetDataSink(IRfDataSink* pSink)
{
    m_pDataSink = pSink;
}

CRfCounters CRFCtrl::GetCounters() const
{
    return CRfCounters{0, 0, m_reader.GetDroppedBytes(), 0, 0};
}
