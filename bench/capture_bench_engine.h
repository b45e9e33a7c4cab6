// qm-capture-bench: the real capture engine without the dialog, wired as the
// dialog wires it: the controller (with its serial port) hands data frames to
// a frame forwarder, which hands pcap records to the pipe link. An owner
// object takes the controller's reports and the pipe's events, and a 250 ms
// timer reads the counters the way the dialog's Rx label does.
#pragma once

#include <QTimer>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame_forwarder.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_pipe.h"

// Runs the Qt event loop of the calling thread.
void PumpFor(int32_t nMs);
bool PumpUntil(const std::function<bool()>& fnDone, int32_t nTimeoutMs);

class CBenchEngine : public CMsgTarget, public IPcapPipeEvents {
public:
    CBenchEngine();   // the Qt application object must exist
    ~CBenchEngine() override;

    bool Create();
    // As the dialog's Start: opens the pipe (launching pszReader on it), waits
    // for the reader, then starts the capture on COM<nPort> and waits for the
    // dongle's acknowledgements. False with the reason when a step fails.
    bool Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError);
    // As the dialog's Stop: the stop command, then the pipe's client is cut.
    void Stop();
    // The stop command was acknowledged (the port is closed after it).
    bool WaitStopped(int32_t nTimeoutMs);
    // Records the pipe has written or dropped since Start.
    uint64_t PipeRecordsDone() const;

    CRfCounters GetCounters() const { return m_rfCtrl.GetCounters(); }
    CUartPort* GetPort() const { return m_rfCtrl.GetPort(); }
    CPcapPipeStats GetPipeStats() const { return m_pipe.GetStats(); }
    bool LineLost() const { return m_bLineLost; }
    uint64_t RxLabelUpdates() const { return m_qwRxUpdates; }

    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;
    void OnPipeEvent(int32_t nEvent) override;

private:
    bool HasPipeEvent(int32_t nEvent);
    void OnRxTimer();

    // Declared so that the controller (whose reader thread feeds the
    // forwarder) goes first, the pipe last.
    CPcapPipe m_pipe;
    CFrameForwarder m_forwarder;
    CRFCtrl m_rfCtrl;
    QTimer m_timerRx;
    std::mutex m_mtxEvents;
    std::vector<int32_t> m_vecEvents;   // pipe events since Start
    std::vector<WPARAM> m_vecStatus;    // states reported as acknowledged
    size_t m_nStatusAtStop = 0;
    bool m_bLineLost = false;
    uint64_t m_qwRxShown = 0;
    uint64_t m_qwRxUpdates = 0;
    char m_szRxLabel[32] = {};
    CPcapPipeStats m_statsAtStart = {};
};
