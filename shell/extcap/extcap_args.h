// The command line of quillmark-extcap: what Wireshark asks for (one of the
// extcap calls), or an install request from the user. Options Wireshark adds
// that we have no use for (--extcap-version=4.0, --extcap-capture-filter
// TEXT, ...) are passed over, values included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class EExtcapAction : int32_t {
    None,         // nothing asked: the usage text
    Help,
    Interfaces,   // --extcap-interfaces
    Dlts,         // --extcap-dlts
    Config,       // --extcap-config
    Capture,      // --capture
    Install,      // --install [DIR]
    Uninstall,    // --uninstall [DIR]
};

// After a stop signal, the capture is given this long to end by itself (the
// stop command's answer takes at most a second) before the program leaves.
constexpr uint32_t EXTCAP_STOP_WAIT_MS = 3000;
constexpr uint32_t EXTCAP_STOP_WAIT_MAX_MS = 600000;

struct CExtcapArgs {
    EExtcapAction m_eAction = EExtcapAction::None;
    std::string m_strInterface;   // --extcap-interface
    std::string m_strFifo;        // --fifo
    int32_t m_nChannel = 0;       // --channel; 0 when not given
    std::string m_strDir;         // --install / --uninstall DIR; "" to choose
    uint32_t m_dwStopWaitMs = EXTCAP_STOP_WAIT_MS;   // --stop-wait
    std::vector<int32_t> m_vecHop;  // --hop LIST; more than one channel: a hopping capture
    uint32_t m_dwDwellMs;           // --dwell SECONDS, on each channel of the hop
    bool m_bTap = false;            // --tap [true|false]: the channel on every frame (283)
    std::string m_strControlIn;     // --extcap-control-in: the toolbar's messages to us
    std::string m_strControlOut;    // --extcap-control-out: ours to the toolbar

    CExtcapArgs();
    bool Hops() const { return m_vecHop.size() > 1; }
};

// "11".."26" exactly (no sign, no leading zero) into nChannel.
bool ParseExtcapChannel(const std::string& strText, int32_t& nChannel);

// Fills args from argv[1..]; false with a one-line reason for a malformed
// --channel, --hop, --dwell, --tap or --stop-wait, an option without its
// value, or two different actions. A --hop of one channel is a capture on
// that channel.
bool ParseExtcapArgs(int argc, const char* const* argv, CExtcapArgs& args, std::string& strError);

const char* ExtcapUsageText();
