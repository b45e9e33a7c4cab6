// The capture engine: one capture from the dongle into one output, for every
// face. It owns the capture controller (the port and the handshakes), the
// forwarder that turns data frames into pcap records on the serial reader
// thread, the outputs (the pipe link that launches and feeds Wireshark, a pcap
// file, standard output or a FIFO somebody else made) and the counters. It
// runs the start sequence, the stop with its guard, and the endings a capture
// can have (dongle gone, reader gone, write failed, a limit), and tells its
// owner through ICaptureEngineEvents, with the texts of capture_texts.h.
//
// A running capture can be retuned, can hop round a list of channels, and
// waits for a dongle that went away to come back (the same port), going on
// into the same output; a survey visits channels without an output and
// counts what it hears on each.
//
// Everything here runs on the thread that created the engine and turns the
// window backend's loop, unless said otherwise. Frames never pass through
// that thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/capture_output.h"
#include "engine/channel_plan.h"
#include "engine/survey_counts.h"
#include "engine/record_switch.h"
#include "link/frame_forwarder.h"
#include "link/msg_wnd.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_file.h"
#include "pcap/pcap_pipe.h"

// Why a capture ended; the programs without a window turn these into exit codes.
enum class ESessionEnd : int32_t {
    Stopped = 0,      // Stop (the user, a signal, Wireshark ended the capture)
    LimitReached,     // the frame count or the duration was reached
    OutputFailed,     // the output could not be opened, or a write failed (reader gone, disk full)
    PortFailed,       // the port could not be opened (missing, in use, permission)
    NoAnswer,         // the dongle did not answer the start handshake within the wait
    LineLost,         // the dongle went away during the capture (and did not come back in time)
};

// Where a capture is in its life. One variable holds it.
enum class ECapturePhase : int32_t {
    Idle,             // nothing runs (the port may still close after a stop)
    WaitReader,       // Wireshark launched; the port opens once it reads
    Starting,         // port open: set-channel and start handshakes
    Capturing,        // the dongle sniffs, frames flow (also while a retune runs)
    Resuming,         // the dongle went away: its port is tried until it is back or the wait is over
};

// The dongle to capture from.
struct CCaptureTarget {
    int32_t m_nPort = 0;                // COMn, 1..255 (also named in messages)
    std::string m_strDevice;            // a device node opened directly ("": COMn)
    int32_t m_nChannel = 11;            // 11..26
};

// What the capture stops at by itself (0: no limit).
struct CCaptureLimits {
    uint64_t m_qwMaxFrames = 0;
    uint32_t m_dwMaxSeconds = 0;
};

// What a capture has done so far; any thread.
struct CCaptureStats {
    uint64_t m_qwFrames = 0;            // records the output took whole
    uint64_t m_qwBytes = 0;             // frame bytes received (what the Rx label shows)
    uint64_t m_qwLost = 0;              // frames lost: receive overflow gaps and dropped records
};

// What the engine tells its owner, on the engine's thread.
class ICaptureEngineEvents {
public:
    virtual ~ICaptureEngineEvents() = default;
    // One line for the user, without a line end ("Start ZigBee sniffing OK!").
    virtual void OnEngineLine(const std::string& strLine) = 0;
    // The dongle answered the start: frames flow.
    virtual void OnEngineSniffing() {}
    // A few times a second while the port is open for a capture.
    virtual void OnEngineProgress() {}
    // The capture is over and its output closed (eEnd: why); Start may run
    // again. The port may still be closing.
    virtual void OnEngineEnded(ESessionEnd /*eEnd*/) {}
    // The port is closed after the capture (the stop answered or timed out,
    // or there was nothing to stop). Comes after OnEngineEnded.
    virtual void OnEnginePortClosed() {}
    // The dongle sniffs on nChannel now: after the start, a retune, a hop.
    virtual void OnEngineChannel(int32_t /*nChannel*/) {}
    // A survey's dwell on nChannel is over (its counts: GetSurvey()).
    virtual void OnEngineDwellDone(int32_t /*nChannel*/) {}
};

class CCaptureEngine : public CMsgTarget {
public:
    explicit CCaptureEngine(ICaptureEngineEvents& events);
    ~CCaptureEngine() override;
    CCaptureEngine(const CCaptureEngine&) = delete;
    CCaptureEngine& operator=(const CCaptureEngine&) = delete;

    // The engine's windows on the calling thread, which must turn the loop of
    // the linked window backend. False when they could not be made.
    bool Create();

    // The waits: the dongle's answers, the pipe link's for Wireshark (tests
    // shorten them). Before a capture.
    void SetAckTimeoutMs(uint32_t dwMs);
    uint32_t GetAckTimeoutMs() const;
    void SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs);
    void SetPipeQueueBytes(uint32_t dwBytes);   // tests
    // What the records are: IEEE 802.15.4 as received (195, the default) or
    // with a TAP header that carries the channel (283). Before a capture.
    void SetLinkType(EPcapLinkType eLinkType);
    EPcapLinkType GetLinkType() const { return m_eLinkType; }
    // Hopping: the next capture goes round plan's channels (the first one
    // instead of the target's), dwelling on each. A plan of one channel or
    // none: no hopping. Before a capture.
    void SetHopPlan(const CChannelPlan& plan);
    // How long a capture waits for a dongle that went away (0: it ends at
    // once). Before a capture.
    void SetResumeWaitMs(uint32_t dwMs);
    uint32_t GetResumeWaitMs() const { return m_dwResumeWaitMs; }
    // How long a wake-up's records may wait to share a write with the next
    // ones (FlushHoldFor this system by default; 0: each batch at once).
    // Before a capture.
    void SetFlushHoldUs(uint32_t dwHoldUs) { m_forwarder.SetFlushHoldUs(dwHoldUs); }

    // Launches Wireshark on the pipe; the port on target opens once it reads.
    // False (lines told, nothing runs) when it could not be launched.
    bool StartWithWireshark(const std::string& strProgram, const CCaptureTarget& target);
    // The file-like outputs: opens the output first, so that nothing reaches
    // the dongle when it cannot be written. A FIFO's open waits for a reader
    // until AbortOutput. False: GetOutputError says why, nothing is told (the
    // face decides: ask about replacing, or tell).
    bool OpenOutput(const std::string& strPath, EPcapFileOpen eHow);
    // Any thread: an open or a write that waits for a reader gives up.
    void AbortOutput();
    COsError GetOutputError() const;
    // Opens the port on target and starts the handshakes, into the output
    // opened before. False (lines told, the output closed, a new file of ours
    // removed): the port failed.
    bool StartPort(const CCaptureTarget& target, const CCaptureLimits& limits = CCaptureLimits());

    // A survey: the port on target, then every channel of plan for its
    // dwell, plan's sweeps times; frames are counted per channel (GetSurvey)
    // and go nowhere else. It ends as a capture does, with Stop or by itself
    // after the last dwell (OnEngineEnded(Stopped)). False: as StartPort.
    bool StartSurvey(const CCaptureTarget& target, const CChannelPlan& plan);
    // A running capture moves to nChannel: stop, set-channel, start, each
    // guarded; frames before are attributed to the old channel, frames after
    // to the new one. A step without an answer is told and ends the capture
    // (NoAnswer). False when no capture sniffs or a retune runs.
    bool Retune(int32_t nChannel);
    bool IsRetuning() const { return m_nRetuneTo != 0; }
    // Any thread: Retune on the engine's thread, as soon as it gets there.
    void PostRetune(int32_t nChannel);
    // The channel the dongle sniffs on (or was last set to).
    int32_t GetChannel() const { return m_nChannel; }
    bool IsSurvey() const { return m_bSurvey; }
    // The survey's counts so far (any thread).
    const CSurveySink& GetSurvey() const { return m_surveySink; }

    // Ends the capture: the stop command goes out (when the port is open) and
    // is guarded; the output is closed whole; "Stop ZigBee sniffing OK!", the
    // summary and where the frames went are told; then OnEngineEnded. A
    // stop without an answer is told and the port closed.
    void Stop(ESessionEnd eWhy = ESessionEnd::Stopped);
    // Any thread: Stop on the engine's thread, as soon as it gets there.
    void PostStop(ESessionEnd eWhy);
    // Leaving: the stop command leaves (bounded wait) before the port closes,
    // the output is closed whole, nothing is told. Once is enough.
    void Shutdown();

    ECapturePhase GetPhase() const { return m_ePhase; }
    bool IsRunning() const { return m_ePhase != ECapturePhase::Idle; }
    bool IsPortOpen() const;                    // a port object exists (open or closing)
    CRfCounters GetCounters() const;            // any thread
    CPcapPipeStats GetPipeStats() const;        // any thread
    int32_t GetPipeState() const { return m_pcapPipe.GetState(); }   // PIPE_STATE_*; any thread
    CCaptureStats GetStats() const;             // any thread: the output of the last capture
    const CCaptureTarget& GetTarget() const { return m_target; }
    // Where the controller hands data frames (tests feed frames here).
    IRfDataSink& GetFrameSink() { return m_forwarder; }
    // The controller's port while it has one (the benchmark reads its threads' CPU clocks).
    CUartPort* GetPort() const { return m_rfCtrl.GetPort(); }

    // The controller's sent messages: WM_RF_STATUS, WM_RF_LINE_LOST.
    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    class CEngineWnd : public CMsgWnd {
    public:
        explicit CEngineWnd(CCaptureEngine& engine) : m_engine(engine) {}

    protected:
        LRESULT WindowProc(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override;

    private:
        CCaptureEngine& m_engine;
    };
    // Pipe writer thread: posts the event to the engine's window, nothing more.
    class CPipeEventRelay : public IPcapPipeEvents {
    public:
        explicit CPipeEventRelay(CCaptureEngine& engine) : m_engine(engine) {}
        void OnPipeEvent(int32_t nEvent) override;

    private:
        CCaptureEngine& m_engine;
    };

    void Tell(const std::string& strLine);
    void TakeSnapshots(bool bToPipe);
    bool OpenPort();
    void OnRfStatus(int32_t nState, bool bTimedOut);
    void BeginCapture(const CCaptureTarget& target, bool bSurvey);
    void KillTimers();
    void OnSniffing();
    void OnRetuneStatus(int32_t nState, bool bTimedOut);
    void OnDwellTimer();
    void SetRecordChannel(int32_t nChannel);
    bool BeginResume();
    void OnResumeTimer();
    void OnResumeStatus(bool bTimedOut);
    void DropPort();
    void OnLineLost();
    void TellLineLost(const std::string& strAfter);
    void TellGaps();
    void OnPipeEvent(int32_t nEvent, uint32_t dwGeneration);
    void OnProgressTimer();
    void ArmDurationTimer();
    void FailStart(ESessionEnd eEnd);
    void TellPortFailure();
    void TellPipeFailure();
    void FinishPortClose();
    void EndOutput(bool bTell);
    void TellSummary(bool bFileCapture);
    void DisconnectPipe();
    void SettlePreviousStop();
    uint32_t StopGraceMs() const;

    ICaptureEngineEvents& m_events;
    CPipeEventRelay m_pipeEvents;   // called by the pipe's writer thread: outlives the pipe link
    CEngineWnd m_wnd;               // gets the posts: outlives the pipe link and the controller
    ECapturePhase m_ePhase;
    ESessionEnd m_eEnd;
    bool m_bStopPending;            // the stop command is out, its answer awaited
    bool m_bShutDown;
    CCaptureTarget m_target;
    CCaptureLimits m_limits;
    EPcapLinkType m_eLinkType;
    CChannelPlan m_hopPlan;         // what SetHopPlan set, for the captures to come
    CChannelPlan m_plan;            // the running capture's: hopping or surveying
    size_t m_nPlanAt;               // the plan's channel the dongle is on
    uint32_t m_dwSweepsDone;
    bool m_bSurvey;
    int32_t m_nChannel;             // what the dongle sniffs on
    int32_t m_nRetuneTo;            // a retune runs to this channel (0: none)
    uint32_t m_dwResumeWaitMs;
    bool m_bResuming;               // the port was opened again after the dongle went away
    std::chrono::steady_clock::time_point m_resumeDeadline;
    std::chrono::steady_clock::time_point m_awaySince;
    uint32_t m_dwGaps;              // times the dongle went away and came back
    uint64_t m_qwAwayMs;            // how long it was away in all
    std::chrono::steady_clock::time_point m_deadline;
    std::string m_strProgram;       // the Wireshark program of the running capture
    uint32_t m_dwConnectTimeoutMs;
    uint32_t m_dwReconnectTimeoutMs;
    std::atomic<uint32_t> m_dwPipeGeneration;
    bool m_bToPipe;                 // the capture goes to Wireshark through the pipe link
    bool m_bOutputReported;         // the output's failure has been told
    bool m_bOutputRemoved;          // the capture never started: its new file was removed
    bool m_bOutputClosedWhole;      // no write into the file failed
    // Snapshots when the capture started (and the file's when it closed):
    // the counters grow over the engine's life. GetStats reads them (and
    // m_bToPipe) from any thread: written under m_mtxStart.
    mutable std::mutex m_mtxStart;
    CRfCounters m_countersAtStart;
    CPcapPipeStats m_pipeAtStart;
    CPcapFileStats m_outputAtStart;
    CPcapFileStats m_outputAtEnd;

    // The reader thread feeds forwarder -> switch -> output and posts to the
    // windows: the controller is declared last, so it goes (with that
    // thread) first.
    CPcapPipe m_pcapPipe;
    CCaptureOutput m_output;
    CRecordSwitch m_recordSwitch;
    CSurveySink m_surveySink;
    CFrameForwarder m_forwarder;
    CRFCtrl m_rfCtrl;
};
