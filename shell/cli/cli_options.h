// The command line of quillmark-capture: what was given, checked for range
// but not yet merged with the stored settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit codes, as --help lists them.
constexpr int CLI_EXIT_OK = 0;            // stopped, or the count or duration reached
constexpr int CLI_EXIT_PORT = 1;          // the port could not be opened
constexpr int CLI_EXIT_USAGE = 2;         // a bad command line
constexpr int CLI_EXIT_NO_ANSWER = 3;     // the dongle did not answer
constexpr int CLI_EXIT_OUTPUT = 4;        // the output could not be opened or written
constexpr int CLI_EXIT_LINE_LOST = 5;     // the dongle went away during the capture
constexpr int CLI_EXIT_FORCED = 130;      // a second Ctrl-C: left at once

struct CCliOptions {
    bool m_bHelp = false;
    bool m_bVersion = false;
    bool m_bPortGiven = false;
    int32_t m_nPort = 0;                  // COMn given as "COMn" or "n"
    std::string m_strDevice;              // a device node given instead ("/dev/...")
    bool m_bChannelGiven = false;
    int32_t m_nChannel = 0;
    bool m_bOutputGiven = false;
    std::string m_strOutput;              // "-": standard output
    bool m_bOverwrite = false;
    uint64_t m_qwCount = 0;               // 0: no limit
    uint32_t m_dwSeconds = 0;             // 0: no limit
    bool m_bQuiet = false;
    bool m_bSurvey = false;               // --survey: count per channel, write no capture
    std::vector<int32_t> m_vecChannels;   // --channels (survey) or --hop (capture)
    bool m_bHop = false;
    bool m_bDwellGiven = false;
    uint32_t m_dwDwellMs = 0;
    uint32_t m_dwSweeps = 1;
    bool m_bTap = false;                  // --tap, or hopping: the channel on every record
    bool m_bResumeWaitGiven = false;
    uint32_t m_dwResumeWaitMs = 0;
};

// argv[1..]; false with a one-line reason for anything it cannot take,
// options that do not go together included.
bool ParseCliOptions(int argc, const char* const* argv, CCliOptions& opts, std::string& strError);

const char* CliUsageText();
