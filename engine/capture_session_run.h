// One capture of CCaptureSession: the output, the controller and the
// forwarder between them, and the session's own window for its timers and
// for the requests that come from other threads. Everything runs on the
// thread that called Run, except where said.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "link/frame_forwarder.h"
#include "link/msg_wnd.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_file.h"
#include "engine/capture_session.h"

// Posted to the session's window: the capture is to end (wParam: ESessionEnd).
constexpr uint32_t WM_SESSION_END = WM_USER + 1;
constexpr uint32_t SESSION_PROGRESS_TIMER_ID = 1;
constexpr uint32_t SESSION_DURATION_TIMER_ID = 2;
constexpr uint32_t SESSION_PROGRESS_MS = 250;

// Passes the first qwMax records on (0: all of them) and asks the session to
// end once the last one is in. Serial reader thread.
class CLimitSink : public IPcapRecordSink {
public:
    CLimitSink(IPcapRecordSink& next, uint64_t qwMax, CMsgWnd& wnd);
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;

private:
    IPcapRecordSink& m_next;
    CMsgWnd& m_wnd;
    const uint64_t m_qwMax;
    uint64_t m_qwTaken;
};

// Once the capture ends, gives the output's reader a grace to take what is
// still coming, then stops waiting for it (CPcapFile::Abort): a reader that
// keeps its end open but no longer reads would hold the serial reader thread
// in its write, so the stop command's answer would never be cut and the port
// would never close.
class COutputGrace {
public:
    explicit COutputGrace(CPcapFile& file) : m_file(file) {}
    ~COutputGrace() { End(); }
    COutputGrace(const COutputGrace&) = delete;
    COutputGrace& operator=(const COutputGrace&) = delete;

    void Begin(uint32_t dwGraceMs);   // the first call counts
    void End();                       // no abort after this; waits for the timer thread

private:
    CPcapFile& m_file;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bEnded = false;
    std::thread m_thread;
};

class CCaptureSession::CRun : public CMsgTarget {
public:
    CRun(const CSessionOptions& opts, ISessionReport& report, const std::atomic<bool>& bStopRequested);
    ~CRun() override;
    CRun(const CRun&) = delete;
    CRun& operator=(const CRun&) = delete;

    ESessionEnd Execute();
    void PostEnd(ESessionEnd eEnd);     // any thread
    void RequestStop();                 // any thread
    CSessionStats GetStats() const;     // any thread
    COsError GetOutputError() const { return m_errOutput; }

    // The controller's sent messages: WM_RF_STATUS, WM_RF_LINE_LOST.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    class CSessionWnd : public CMsgWnd {
    public:
        explicit CSessionWnd(CRun& run) : m_run(run) {}

    protected:
        LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    private:
        CRun& m_run;
    };

    bool OpenOutput();
    bool StartPort();
    void OnRfStatus(int32_t nState, bool bTimedOut);
    void OnLineLost();
    void OnSniffing();
    void OnProgressTimer();
    void ArmDurationTimer();
    void BeginStop(ESessionEnd eEnd);
    void Finish();
    void CloseOutput();
    std::string OutputName() const;
    uint32_t StopGraceMs() const;

    static constexpr int32_t PHASE_IDLE = 0;       // nothing started, or all ended
    static constexpr int32_t PHASE_STARTING = 1;   // set-channel and start handshakes
    static constexpr int32_t PHASE_CAPTURING = 2;
    static constexpr int32_t PHASE_STOPPING = 3;   // waiting for the stop command's answer

    const CSessionOptions m_opts;
    ISessionReport& m_report;
    const std::atomic<bool>& m_bStopRequested;
    int32_t m_nPhase;
    ESessionEnd m_eEnd;
    bool m_bOutputReported;   // the output's failure has been told
    COsError m_errOutput;
    std::chrono::steady_clock::time_point m_deadline;
    std::atomic<bool> m_bOutputOpened;   // a stop no longer ends the output's open

    // The reader thread feeds forwarder -> limit -> file and posts to the
    // window: the controller is declared last, so it goes (with that thread) first.
    CPcapFile m_file;
    COutputGrace m_grace;
    CSessionWnd m_wnd;
    CLimitSink m_limit;
    CFrameForwarder m_forwarder;
    CRFCtrl m_rfCtrl;
};
