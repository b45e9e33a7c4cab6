// The capture controller: the device side of a capture. It owns the serial
// port, runs the set-channel, start and stop handshakes with the dongle (each
// guarded by an acknowledgement time-out), cuts the received bytes into frames
// one per WM_RF_RX_READY, and reports to its owner with two sent messages:
// WM_RF_STATUS (handshake outcome) and WM_RF_FRAME (every data frame).
#pragma once

#include <cstdint>

#include "link/frame_reader.h"
#include "link/msg_wnd.h"
#include "link/rf_data_sink.h"

class CUartPort;

// Link states; the value travels as wParam of WM_RF_STATUS.
constexpr int32_t RF_STATE_IDLE = 1;
constexpr int32_t RF_STATE_SNIFFING = 2;
constexpr int32_t RF_STATE_WAIT_CHANNEL_ACK = 3;
constexpr int32_t RF_STATE_WAIT_START_ACK = 4;
constexpr int32_t RF_STATE_WAIT_STOP_ACK = 5;

constexpr uint32_t RF_ACK_TIMER_ID = 8618;
constexpr uint32_t RF_ACK_TIMEOUT_MS = 1000;
constexpr LPARAM RF_STATUS_ACK = 0;
constexpr LPARAM RF_STATUS_TIMEOUT = 0xFFFF;
constexpr uint32_t IDC_RFCTRL = 110;
// Longest Shutdown waits for the stop command to leave before closing the port.
constexpr int32_t RF_SHUTDOWN_DRAIN_MS = 300;

class CRFCtrl : public CMsgWnd, public IRfFrameSink {
public:
    CRFCtrl();
    ~CRFCtrl() override;

    // The hidden child "window" of the owner; sets g_pRFCtrl. Needs the Qt
    // application object to exist.
    bool Create(CMsgTarget* pParent, uint32_t nID);
    int32_t StartCapture();                    // 0 ok, -1 failure
    int32_t SendSetChannel(int32_t nChannel);  // 0 ok, -1 short write
    int32_t StopCapture();                     // -1 no port object, else bytes accepted
    int32_t Shutdown();                        // always 0
    int32_t GetState() const;
    CUartPort* GetPort() const;
    // Receive-ring overflow plus bytes dropped to resynchronise, over the
    // program's life (ports deleted by Shutdown included).
    uint64_t GetLostBytes() const;
    void SetAckTimeoutMs(uint32_t nMs);        // tests only; RF_ACK_TIMEOUT_MS by default
    // Where data frames go (serial reader thread). Window thread, while no capture runs.
    void SetDataSink(IRfDataSink* pSink);
    CRfCounters GetCounters() const;           // any thread

    // The port's comm-event hook; runs on the port's reader thread.
    static void CommEventHook(CUartPort* pPort, uint32_t dwEvtMask);
    LRESULT OnRxReady(WPARAM wParam, LPARAM lParam);
    void OnTimer(uint32_t nIDEvent);
    void OnAck(const uint8_t* pFrame, int32_t nLen);
    LRESULT SendToOwner(uint32_t nMsg, WPARAM wParam, LPARAM lParam);

    // Frame sink of the reader.
    void DeliverFrame(const uint8_t* pFrame, int32_t nLen) override;
    void RequestRerun() override;

protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    // The reader's byte source: the port's receive ring, read through the port.
    // Reads nothing once the port object is gone.
    class CPortSource : public IRfByteSource {
    public:
        explicit CPortSource(CRFCtrl& ctrl) : m_ctrl(ctrl) {}
        int32_t GetCount() override;
        int32_t Read(uint8_t* pDst, int32_t nLen) override;

    private:
        CRFCtrl& m_ctrl;
    };

    bool WriteCommand(const uint8_t* pFrame);
    void DisposePort();

    CUartPort* m_pPort;
    CFrameReader m_reader;       // frame buffer, reader state and needed count
    int32_t m_nState;
    uint32_t m_nAckTimeoutMs;
    uint64_t m_qwLostOnDisposedPorts;
    CPortSource m_source;
    IRfDataSink* m_pDataSink = nullptr;
};

// The one controller; the comm-event hook and the reader's re-run request post
// to its window.
extern CRFCtrl* g_pRFCtrl;
