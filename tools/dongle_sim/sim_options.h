// Command line of qm-dongle-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dongle_sim/sim_network.h"

constexpr int32_t SIM_DEFAULT_PORT = 200;
constexpr double SIM_DEFAULT_RATE = 20.0;          // frames per second
constexpr double SIM_MAX_RATE = 1000000.0;
constexpr int32_t SIM_MAX_ACK_DELAY_MS = 600000;

struct CSimOptions {
    int32_t m_nPort = SIM_DEFAULT_PORT;
    std::string m_strPortsDir;            // "" = not given on the command line
    double m_dRate = SIM_DEFAULT_RATE;
    bool m_bLineRate = false;             // pace to 1,000,000 baud instead of m_dRate
    int64_t m_nBurst = 0;                 // frames sent back to back after each start
    int64_t m_nFrames = -1;               // stop streaming after this many frames; -1 = never
    bool m_bNoAck = false;
    bool m_bNoStopAck = false;            // answer every command but the stop command
    int32_t m_nAckDelayMs = 0;
    bool m_bGarbage = false;
    int64_t m_nHangupAfter = -1;          // hang up after this many frames; -1 = never
    std::string m_strReplay;
    std::string m_strSentPcap;
    std::string m_strSentLog;
    std::vector<CSimNetwork> m_vecNetworks;   // none: one network heard on every channel
    uint32_t m_dwSeed = 1;
    bool m_bOwnTerminal = false;          // serve a Wine COM port: the pty becomes our controlling terminal
    bool m_bHelp = false;
};

// Fills opts from argv[1..]; false with a one-line reason for anything it
// cannot take (unknown option, missing or malformed value, value out of range).
bool ParseSimOptions(int argc, const char* const* argv, CSimOptions& opts, std::string& strError);

const char* SimUsageText();
