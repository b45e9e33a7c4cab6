// What Wireshark's interface toolbar shows of a capture and what it asks of
// it: the channel selector (a pick retunes the dongle; it is disabled while
// the retune runs and while hopping), the status bar ("Sniffing on channel
// 20") and the log button with the capture's lines. Plain logic: messages
// in, messages out and the retune to ask for; the caller serialises calls.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "shell/extcap/extcap_control_msg.h"

constexpr uint8_t TOOLBAR_CHANNEL_CONTROL = 0;
constexpr uint8_t TOOLBAR_LOG_CONTROL = 1;
// Lines kept for the log until Wireshark reads our pipe.
constexpr size_t TOOLBAR_LOG_BACKLOG_MAX = 200;

struct CToolbarActions {
    std::vector<CControlMsg> m_vecSend;
    int32_t m_nRetuneTo = 0;       // ask the session for this channel (0: nothing to ask)
};

class CExtcapToolbar {
public:
    // nChannel: the one the capture starts on.
    CExtcapToolbar(int32_t nChannel, bool bHopping);

    // A message from Wireshark.
    CToolbarActions OnMessage(const CControlMsg& msg);
    // The dongle sniffs on nChannel (the start, a retune, a hop, a resume).
    CToolbarActions OnChannel(int32_t nChannel);
    // The session asked for a retune refused it (no capture runs).
    CToolbarActions OnRetuneRefused();
    // One line the capture told.
    CToolbarActions OnLine(const std::string& strLine);
    // The capture failed: strText is why.
    CToolbarActions OnFailed(const std::string& strText);
    // Our pipe to Wireshark is open: what it should show now.
    CToolbarActions OnOutOpened();

private:
    void AddState(CToolbarActions& actions) const;
    void StartWanted(CToolbarActions& actions);
    static CControlMsg Msg(uint8_t byControl, EControlCommand eCommand, const std::string& strPayload = "");

    int32_t m_nChannel;            // what the dongle sniffs on, or will first
    int32_t m_nWanted = 0;         // picked in Wireshark, not yet asked of the session
    int32_t m_nRetuning = 0;       // asked of the session, not yet there
    const bool m_bHopping;
    bool m_bSniffing = false;      // the session told a channel: retunes can be asked
    bool m_bOutOpen = false;
    std::deque<std::string> m_deqBacklog;   // log lines before the pipe opened
};
