// qm-capture-bench: the dongle's side of the serial line, played on a
// pseudo-terminal by a child process of its own, so that its work never
// counts as the capture process's CPU time. It answers the set-channel, start
// and stop commands with 7-byte acknowledgements, notes when the stop command
// arrives, and streams the data frames that the benchmark orders.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench/capture_bench_frames.h"

class CFeederLink {
public:
    CFeederLink() = default;
    ~CFeederLink();
    CFeederLink(const CFeederLink&) = delete;
    CFeederLink& operator=(const CFeederLink&) = delete;

    // Makes the pseudo-terminal, publishes it as <strPortsDir>/com<nPort> and
    // forks the feeder. Call before any thread exists (before the Qt
    // application object).
    bool Start(const std::string& strPortsDir, int32_t nPort, std::string* pstrError);
    bool Send(const CFeedOrder& order);
    // 1 with a report, 0 when none came within nTimeoutMs, -1 when the feeder is gone.
    int32_t Receive(CFeedReport* pReport, int32_t nTimeoutMs);
    // Ends the feeder (killed when it does not go within a second).
    void Exit();
    const std::string& DevicePath() const { return m_strDevice; }

private:
    int m_fdControl = -1;
    pid_t m_pid = -1;
    std::string m_strDevice;
    std::string m_strLink;
};
