// quillmark-capture: one capture from the dongle into a pcap file or a pipe,
// with no window. The session does the work; this file turns the command
// line and the stored settings into its options, shows its lines and its
// progress on standard error, and its end as the exit code.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/settings.h"
#include "serial/port_names.h"
#include "engine/capture_session.h"
#include "engine/capture_settings.h"
#include "shell/cli/cli_console.h"
#include "shell/cli/cli_options.h"
#include "shell/cli/cli_port.h"
#include "engine/channels.h"
#include "engine/stop_signals.h"

namespace {

const char PROGRAM_NAME[] = "quillmark-capture";
// Test hook: the wait for each answer of the dongle, in milliseconds
// (1..600000), instead of the controller's 1 s.
const char ACK_TIMEOUT_ENV[] = "QM_ACK_TIMEOUT_MS";
constexpr unsigned long ACK_TIMEOUT_MAX_MS = 600000;

int UsageError(const std::string& strReason)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", PROGRAM_NAME, strReason.c_str());
    return CLI_EXIT_USAGE;
}

// The session's lines and progress on standard error. The progress is one
// line rewritten in place, so only a terminal gets it; -q keeps everything
// back unless the capture fails.
class CCliReport : public ISessionReport {
public:
    CCliReport(bool bQuiet, bool bProgress) : m_bQuiet(bQuiet), m_bProgress(bProgress && !bQuiet) {}

    void OnSessionLine(const std::string& strLine) override
    {
        if (m_bQuiet) {
            m_vecHeld.push_back(strLine);
            return;
        }
        ClearProgress();
        std::fprintf(stderr, "%s\n", strLine.c_str());
        std::fflush(stderr);
    }
    void OnSessionProgress(const CSessionStats& stats) override
    {
        if (!m_bProgress)
            return;
        ShowProgress(DescribeCounts(stats) + m_strChannel);
    }
    void OnSessionChannel(int32_t nChannel) override { m_strChannel = ", channel " + std::to_string(nChannel); }
    // The summary replaces the progress line; -q shows only a failure's lines.
    // strOutput "": nothing was captured, so there is nothing to sum up.
    void Finish(const CSessionStats& stats, bool bFailed, const std::string& strOutput)
    {
        if (m_bQuiet) {
            for (const std::string& strLine : m_vecHeld) {
                if (bFailed)
                    std::fprintf(stderr, "%s\n", strLine.c_str());
            }
            return;
        }
        ClearProgress();
        if (!strOutput.empty()) {
            std::fprintf(stderr, "%llu frames (%llu bytes, %llu lost) written to %s\n",
                static_cast<unsigned long long>(stats.m_qwFrames), static_cast<unsigned long long>(stats.m_qwBytes),
                static_cast<unsigned long long>(stats.m_qwLost), strOutput.c_str());
        }
        std::fflush(stderr);
    }

private:
    static std::string DescribeCounts(const CSessionStats& stats)
    {
        return std::to_string(stats.m_qwFrames) + " frames, " + std::to_string(stats.m_qwBytes) + " bytes, "
            + std::to_string(stats.m_qwLost) + " lost";
    }
    void ShowProgress(const std::string& strText)
    {
        std::string strShown = "\r" + strText;
        if (strText.size() < m_nProgressLen)
            strShown += std::string(m_nProgressLen - strText.size(), ' ');
        m_nProgressLen = strText.size();
        std::fputs(strShown.c_str(), stderr);
        std::fflush(stderr);
    }
    void ClearProgress()
    {
        if (m_nProgressLen == 0)
            return;
        std::fprintf(stderr, "\r%s\r", std::string(m_nProgressLen, ' ').c_str());
        m_nProgressLen = 0;
    }

    const bool m_bQuiet;
    const bool m_bProgress;
    size_t m_nProgressLen = 0;
    std::vector<std::string> m_vecHeld;
    std::string m_strChannel;   // where the dongle sniffs, for the progress line
};

// The stored settings stand in for what the command line leaves out, read
// as the dialog reads them: the stored port as it is, a stored channel
// outside 11..26 as the first one.
void ApplySettings(const CCliOptions& cli, CSessionOptions& opts, CCliReport& report)
{
    InitSettingsPath();
    const std::string strPorts = std::string(GetSettingsDirectory()) + "/ports";
    SetPortsDirectory(strPorts.c_str());
    CCaptureTarget& target = opts.m_target;
    if (!cli.m_bPortGiven) {
        target.m_nPort = ReadStoredPort();
    } else if (!cli.m_strDevice.empty()) {
        target.m_nPort = ComPortOfDevice(cli.m_strDevice);
        if (target.m_nPort == 0) {
            target.m_strDevice = cli.m_strDevice;
            report.OnSessionLine(cli.m_strDevice + " maps to no COM port (no link in " + strPorts
                + "): opening it directly");
        }
    } else {
        target.m_nPort = cli.m_nPort;
    }
    target.m_nChannel = cli.m_bChannelGiven ? cli.m_nChannel : ReadStoredChannel();
}

uint32_t AckTimeoutFromEnvironment()
{
    const char* pszValue = std::getenv(ACK_TIMEOUT_ENV);
    if (pszValue == nullptr || *pszValue == '\0')
        return 0;
    char* pEnd = nullptr;
    const unsigned long dwMs = std::strtoul(pszValue, &pEnd, 10);
    return *pEnd == '\0' && dwMs >= 1 && dwMs <= ACK_TIMEOUT_MAX_MS ? static_cast<uint32_t>(dwMs) : 0;
}

int ExitCodeOf(ESessionEnd eEnd);

// The command line's channels, dwell and link type for the session.
void ApplyPlan(const CCliOptions& cli, CSessionOptions& opts)
{
    opts.m_bSurvey = cli.m_bSurvey;
    opts.m_plan.m_vecChannels = cli.m_vecChannels;
    if (cli.m_bSurvey && opts.m_plan.m_vecChannels.empty())
        opts.m_plan.m_vecChannels = AllChannels();
    if (cli.m_bDwellGiven)
        opts.m_plan.m_dwDwellMs = cli.m_dwDwellMs;
    opts.m_plan.m_dwSweeps = cli.m_dwSweeps;
    // A hopping capture without the channel on every frame would lose it.
    opts.m_eLinkType = cli.m_bTap || cli.m_bHop ? EPcapLinkType::Ieee802154Tap : EPcapLinkType::Ieee802154WithFcs;
    if (cli.m_bResumeWaitGiven)
        opts.m_dwResumeWaitMs = cli.m_dwResumeWaitMs;
}

// --survey: the counts of every channel surveyed, one line each, on
// standard output (they are the result; messages stay on standard error).
int RunSurvey(CCaptureSession& session, const CSessionOptions& opts, CCliReport& report)
{
    const ESessionEnd eEnd = session.Run(opts, report);
    report.Finish(session.GetStats(), eEnd != ESessionEnd::Stopped, std::string());
    if (eEnd != ESessionEnd::Stopped)
        return ExitCodeOf(eEnd);
    const std::vector<CSurveyChannel> vecSurvey = session.GetSurvey();
    for (int32_t nChannel : opts.m_plan.m_vecChannels) {
        const CSurveyChannel& ch = vecSurvey[static_cast<size_t>(nChannel - CHANNEL_FIRST)];
        std::printf("%s\n", FormatSurveyLine(ch).c_str());
    }
    std::fflush(stdout);
    return CLI_EXIT_OK;
}

int ExitCodeOf(ESessionEnd eEnd)
{
    switch (eEnd) {
    case ESessionEnd::Stopped:
    case ESessionEnd::LimitReached:
        return CLI_EXIT_OK;
    case ESessionEnd::PortFailed:
        return CLI_EXIT_PORT;
    case ESessionEnd::NoAnswer:
        return CLI_EXIT_NO_ANSWER;
    case ESessionEnd::LineLost:
        return CLI_EXIT_LINE_LOST;
    default:
        return CLI_EXIT_OUTPUT;
    }
}

} // namespace

int main(int argc, char** argv)
{
    CCliOptions cli;
    std::string strError;
    if (!ParseCliOptions(argc, argv, cli, strError))
        return UsageError(strError);
    if (cli.m_bHelp) {
        std::fputs(CliUsageText(), stdout);
        return CLI_EXIT_OK;
    }
    if (cli.m_bVersion) {
        std::printf("%s %s\n", PROGRAM_NAME, QM_VERSION_STRING);
        return CLI_EXIT_OK;
    }
    const bool bStdout = !cli.m_bSurvey && (!cli.m_bOutputGiven || cli.m_strOutput == "-");
    if (bStdout && IsStdoutTerminal()) {
        return UsageError(cli.m_bOutputGiven ? "standard output is a terminal: pcap data is never written to one"
                                             : "no -w FILE given and standard output is a terminal");
    }

    // Before any other thread starts: the signals are taken by the watcher's.
    CCaptureSession session;
    std::atomic<int32_t> nSignals(0);
    CStopSignals signals;
    signals.Watch([&session, &nSignals](int32_t) {
        if (nSignals.fetch_add(1) == 0) {
            session.RequestStop();
            return;
        }
        std::fprintf(stderr, "%s: stopped again: leaving at once\n", PROGRAM_NAME);
        std::_Exit(CLI_EXIT_FORCED);
    });

    CCliReport report(cli.m_bQuiet, IsStderrTerminal());
    CSessionOptions opts;
    ApplySettings(cli, opts, report);
    opts.m_eOutput = bStdout ? EPcapFileOpen::Stdout
                             : (cli.m_bOverwrite ? EPcapFileOpen::Replace : EPcapFileOpen::CreateNew);
    opts.m_strOutput = bStdout ? std::string() : cli.m_strOutput;
    opts.m_limits.m_qwMaxFrames = cli.m_qwCount;
    opts.m_limits.m_dwMaxSeconds = cli.m_dwSeconds;
    opts.m_dwAckTimeoutMs = AckTimeoutFromEnvironment();
    ApplyPlan(cli, opts);
    if (cli.m_bSurvey)
        return RunSurvey(session, opts, report);

    const ESessionEnd eEnd = session.Run(opts, report);
    const int nExit = ExitCodeOf(eEnd);
    if (eEnd == ESessionEnd::OutputFailed && session.GetOutputError().m_eKind == EOsError::AlreadyExists)
        report.OnSessionLine("Give --overwrite to replace it, or another -w FILE");
    // A capture that never started left no file: there is nothing to count.
    const bool bNothing = session.GetStats().m_qwFrames == 0;
    const bool bCaptured = eEnd != ESessionEnd::PortFailed
        && !((eEnd == ESessionEnd::OutputFailed || eEnd == ESessionEnd::NoAnswer) && bNothing);
    const std::string strOutput = bStdout ? "standard output" : cli.m_strOutput;
    report.Finish(session.GetStats(), nExit != CLI_EXIT_OK, bCaptured ? strOutput : std::string());
    return nExit;
}
