// qm-dongle-sim: a stand-in for the ZigBee sniffer dongle, for tests and for
// running Quillmark without hardware. See SimUsageText for the options.
#include <cstdio>
#include <memory>
#include <string>

#include "base/settings.h"
#include "tools/dongle_sim/sim_engine.h"
#include "tools/dongle_sim/sim_network.h"
#include "tools/dongle_sim/sim_options.h"
#include "tools/dongle_sim/sim_port.h"
#include "tools/dongle_sim/sim_replay.h"
#include "tools/dongle_sim/sim_run.h"
#include "tools/dongle_sim/sim_sent_log.h"
#include "tools/dongle_sim/sim_sent_pcap.h"
#include "tools/dongle_sim/sim_traffic.h"

namespace {

class CConsoleEvents : public ISimEvents {
public:
    CConsoleEvents(CSimSentPcap& sent, CSimSentLog& sentLog)
        : m_sent(sent), m_sentLog(sentLog), m_bSentFailed(false), m_bSentLogFailed(false)
    {
    }

    void Log(const std::string& strLine) override
    {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strLine.c_str());
    }

    void FrameSent(const uint8_t* pMac, int32_t nLen) override
    {
        if (m_sent.IsOpen() && !m_sent.Record(pMac, nLen) && !m_bSentFailed) {
            m_bSentFailed = true;
            Log("cannot write the sent-frames file any more");
        }
    }

    void FrameSentOn(int32_t nChannel, int32_t nPanId, const uint8_t* pMac, int32_t nLen) override
    {
        FrameSent(pMac, nLen);
        if (m_sentLog.IsOpen() && !m_sentLog.Record(nChannel, nPanId, pMac, nLen) && !m_bSentLogFailed) {
            m_bSentLogFailed = true;
            Log("cannot write the sent-frames log any more");
        }
    }

private:
    CSimSentPcap& m_sent;
    CSimSentLog& m_sentLog;
    bool m_bSentFailed;
    bool m_bSentLogFailed;
};

}

// Where a Quillmark installed beside this program looks for port links.
static std::string DefaultPortsDirectory()
{
    char szExeDir[SETTINGS_PATH_SIZE] = "";
    GetExeDirectory(szExeDir);
    if (szExeDir[0] == '\0')
        return "";
    InitSettingsPathFor(szExeDir);
    const char* pszDir = GetSettingsDirectory();
    if (pszDir == nullptr || *pszDir == '\0')
        return "";
    return std::string(pszDir) + "/ports";
}

int main(int argc, char** argv)
{
    CSimOptions opts;
    std::string strError;
    if (!ParseSimOptions(argc, argv, opts, strError)) {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
        return 2;
    }
    if (opts.m_bHelp) {
        std::fputs(SimUsageText(), stdout);
        return 0;
    }
    if (opts.m_strPortsDir.empty())
        opts.m_strPortsDir = DefaultPortsDirectory();
    if (opts.m_strPortsDir.empty()) {
        std::fprintf(stderr, "qm-dongle-sim: no ports directory: give one with --ports-dir DIR\n");
        return 2;
    }

    std::unique_ptr<ISimPayloadSource> pSource;
    if (!opts.m_strReplay.empty()) {
        auto pReplay = std::make_unique<CSimReplay>();
        if (!pReplay->Load(opts.m_strReplay.c_str(), strError)) {
            std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
            return 1;
        }
        if (!strError.empty())
            std::fprintf(stderr, "qm-dongle-sim: %s (replaying the %zu frames before it)\n", strError.c_str(),
                         pReplay->GetFrameCount());
        if (pReplay->GetSkipped() > 0)
            std::fprintf(stderr, "qm-dongle-sim: %d records longer than 241 bytes skipped\n", pReplay->GetSkipped());
        pSource = std::move(pReplay);
    } else if (!opts.m_vecNetworks.empty()) {
        pSource = std::make_unique<CSimNetworks>(opts.m_vecNetworks, opts.m_dwSeed);
    } else {
        pSource = std::make_unique<CSimTraffic>(opts.m_dwSeed);
    }

    CSimSentPcap sent;
    if (!opts.m_strSentPcap.empty() && !sent.Open(opts.m_strSentPcap.c_str(), strError)) {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
        return 1;
    }
    CSimSentLog sentLog;
    if (!opts.m_strSentLog.empty() && !sentLog.Open(opts.m_strSentLog.c_str(), strError)) {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
        return 1;
    }

    InstallSimStopSignals();
    CSimPort port;
    if (!port.Publish(opts.m_strPortsDir.c_str(), opts.m_nPort, strError)) {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
        return 1;
    }
    if (opts.m_bOwnTerminal && !port.TakeAsControllingTerminal(strError)) {
        std::fprintf(stderr, "qm-dongle-sim: %s\n", strError.c_str());
        port.Unpublish();
        return 1;
    }
    CConsoleEvents events(sent, sentLog);
    CSimEngine engine(opts, *pSource, events, SimNowUs());
    engine.SetInitialHostPresence(port.IsHostPresent());
    events.Log("COM" + std::to_string(opts.m_nPort) + ": " + port.GetLinkPath() + " -> " + port.GetDevicePath());
    for (const CSimNetwork& net : opts.m_vecNetworks)
        events.Log(FormatSimNetwork(net));
    std::printf("ready %s\n", port.GetDevicePath().c_str());
    std::fflush(stdout);

    const int32_t nEnd = RunSimLoop(port, engine, events);
    if (nEnd == SIM_END_STOPPED)
        events.Log("stopped by a signal");
    port.HangUp();
    port.Unpublish();
    std::printf("%s\n", FormatSimSummary(engine.GetStats(), engine.GetChannel()).c_str());
    std::fflush(stdout);
    return nEnd == SIM_END_LINE_LOST ? 1 : 0;
}
