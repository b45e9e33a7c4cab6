// The capture controller: the device side of a capture. It owns the serial
// port and runs the set-channel, start and stop handshakes with the dongle
// (each guarded by an acknowledgement time-out) on the window's thread. The
// received bytes are cut into frames where they arrive, on the port's reader
// thread: data frames go to the data sink there, acknowledgements and the loss
// of the device are posted to the controller's window (WM_RF_ACK,
// WM_RF_LINE_LOST). The owner hears WM_RF_STATUS (handshake outcome) and
// WM_RF_LINE_LOST (the device went away), both sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/msg_wnd.h"
#include "link/rf_data_sink.h"
#include "link/rx_cutter.h"

class CUartPort;

// Link states; the value travels as wParam of WM_RF_STATUS.
constexpr int32_t RF_STATE_IDLE = 1;
constexpr int32_t RF_STATE_SNIFFING = 2;
constexpr int32_t RF_STATE_WAIT_CHANNEL_ACK = 3;
constexpr int32_t RF_STATE_WAIT_START_ACK = 4;
constexpr int32_t RF_STATE_WAIT_STOP_ACK = 5;
// A retune's stop: its answer sends the set-channel command, and the port stays open.
constexpr int32_t RF_STATE_WAIT_RETUNE_STOP_ACK = 6;

// The controller's hidden child window.
constexpr uint32_t IDC_RFCTRL = 110;
constexpr uint32_t RF_ACK_TIMER_ID = 8618;
constexpr uint32_t RF_ACK_TIMEOUT_MS = 1000;
constexpr LPARAM RF_STATUS_ACK = 0;
constexpr LPARAM RF_STATUS_TIMEOUT = 0xFFFF;
// Longest Shutdown waits for the stop command to leave before closing the port.
constexpr int32_t RF_SHUTDOWN_DRAIN_MS = 300;

class CRFCtrl : public CMsgWnd, private IRfAckSink {
public:
    CRFCtrl();
    ~CRFCtrl() override;

    // The hidden child "window" of the owner; sets g_pRFCtrl. Needs what the
    // window backend needs (see CMsgWnd::CreateWnd).
    bool Create(CMsgTarget* pParent, uint32_t nID);
    // Opens COM<nPort> and asks for nChannel; 0 ok, -1 failure.
    int32_t StartCapture(int32_t nPort, int32_t nChannel);
    // The same on a device node named directly (strDevice non-empty), for a
    // port that no COM number maps to; nPort is kept for the messages.
    int32_t StartCapture(int32_t nPort, int32_t nChannel, const std::string& strDevice);
    int32_t SendSetChannel(int32_t nChannel);  // 0 ok, -1 short write
    int32_t StopCapture();                     // -1 no port object, else bytes accepted
    // While sniffing: stop, then set-channel nChannel, then start, each with
    // its time-out. The owner hears WM_RF_STATUS(RF_STATE_WAIT_CHANNEL_ACK)
    // once the stop was answered (no frame of the old channel follows), then
    // WM_RF_STATUS(RF_STATE_SNIFFING) as after a start, or the time-out of
    // the step that failed. 0 ok, -1 not sniffing or a short write.
    int32_t Retune(int32_t nChannel);
    int32_t Shutdown();                        // always 0
    int32_t GetState() const;
    CUartPort* GetPort() const;
    // Bytes lost before the cutter plus bytes skipped to find a header, over
    // the controller's life. Any thread.
    uint64_t GetLostBytes() const;
    void SetAckTimeoutMs(uint32_t nMs);        // tests only; RF_ACK_TIMEOUT_MS by default
    uint32_t GetAckTimeoutMs() const;          // how long a handshake waits for its answer
    // Where data frames go (serial reader thread). Window thread, while no capture runs.
    void SetDataSink(IRfDataSink* pSink);
    CRfCounters GetCounters() const;           // any thread

    // The port's comm-event hook; runs on the port's reader thread. Its
    // context is the controller.
    static void CommEventHook(void* pContext, CUartPort* pPort, uint32_t dwEvtMask);
    void OnTimer(uint32_t nIDEvent);
    void OnAck(const uint8_t* pFrame, int32_t nLen);
    LRESULT SendToOwner(uint32_t nMsg, WPARAM wParam, LPARAM lParam);

    // An acknowledgement (3..7 bytes, 00 01 LEN and up to four more) in a
    // WM_RF_ACK's parameters, 32 bits each, with the capture it belongs to.
    static void PackAck(const uint8_t* pFrame, int32_t nLen, uint32_t dwCapture, WPARAM* pwParam,
        LPARAM* plParam);
    // The frame's length (0 when the parameters hold none) and its bytes.
    static int32_t UnpackAck(WPARAM wParam, LPARAM lParam, uint8_t* pFrame, uint32_t* pdwCapture);

protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    void OnAckFrame(const uint8_t* pFrame, int32_t nLen) override;   // reader thread
    bool CutReceived(CUartPort* pPort);   // reader thread; true when data frames were cut
    void PostLineLost();                                             // reader thread
    void OnAckMessage(WPARAM wParam, LPARAM lParam);
    void OnLineLost(WPARAM wParam);
    bool WriteCommand(const uint8_t* pFrame);
    void DisposePort();

    CUartPort* m_pPort;
    int32_t m_nState;
    int32_t m_nRetuneChannel;              // what a retune's set-channel asks for
    uint32_t m_nAckTimeoutMs;
    CRxCutter m_cutter;
    // Numbers each capture, so that a message posted for an earlier one is
    // recognised; changed only while no reader thread runs.
    std::atomic<uint32_t> m_dwCapture;
    std::atomic<bool> m_bLineLostPosted;   // reader thread, once per capture
    bool m_bLineLostReported;              // window thread, once per capture
    // Gaps of the port already handed to the cutter; reader thread while open.
    uint64_t m_qwGapsSeen;
    uint64_t m_qwGapBytesSeen;
};

// The controller whose window was created last; kept for the dialog's use.
// The hook does not use it.
extern CRFCtrl* g_pRFCtrl;
