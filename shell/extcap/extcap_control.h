// Wireshark's interface toolbar during one capture: a thread of its own
// opens the two control pipes without waiting for Wireshark, reads its
// messages and asks the session for retunes; the session's reports (its
// thread) update what the toolbar shows. A Wireshark that never opens the
// pipes (tshark) or stops reading them never holds the capture.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "shell/extcap/extcap_control_pipe.h"
#include "shell/extcap/extcap_toolbar.h"

// How often our pipe to Wireshark is tried until Wireshark opens its end.
constexpr uint32_t CONTROL_OUT_RETRY_MS = 50;
// A write waits this long for room, once; then, until one goes through,
// messages are dropped at once (Wireshark does not read them).
constexpr uint32_t CONTROL_WRITE_WAIT_MS = 100;

class CExtcapControl {
public:
    // fnRetune asks the capture for a channel (any thread); false when no
    // capture runs. Empty paths: that side is not used.
    CExtcapControl(std::unique_ptr<IControlPipes> pPipes, const std::string& strIn, const std::string& strOut,
        int32_t nChannel, bool bHopping, std::function<bool(int32_t)> fnRetune);
    ~CExtcapControl();
    CExtcapControl(const CExtcapControl&) = delete;
    CExtcapControl& operator=(const CExtcapControl&) = delete;

    void Start();
    // Ends the thread; what was written stays for Wireshark to read.
    void Stop();

    // The session's reports, from its thread.
    void OnChannel(int32_t nChannel);
    void OnLine(const std::string& strLine);
    void OnFailed(const std::string& strText);

    uint32_t GetDropped() const { return m_dwDropped.load(); }   // messages Wireshark did not take

private:
    void ThreadMain();
    void ReadMessages(uint8_t* pBuf, size_t cb);
    bool TryOpenOut();
    void WaitStop(uint32_t dwMs);
    void Step(const std::function<CToolbarActions(CExtcapToolbar&)>& fnStep);

    const std::unique_ptr<IControlPipes> m_pPipes;
    const std::string m_strIn;
    const std::string m_strOut;
    const std::function<bool(int32_t)> m_fnRetune;
    CControlMsgDecoder m_decoder;             // the thread's
    std::mutex m_mtx;                         // guards m_toolbar, m_bStalled and the writing end
    CExtcapToolbar m_toolbar;
    bool m_bStalled = false;
    std::mutex m_mtxStop;
    std::condition_variable m_cvStop;
    std::atomic<bool> m_bStop { false };
    std::atomic<uint32_t> m_dwDropped { 0 };
    std::thread m_thread;
};
