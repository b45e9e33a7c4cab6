// Which channels a capture visits and how long it stays on each: a hopping
// capture goes round its list until stopped, a survey goes round it a given
// number of times. Lists are written as the faces take them: "11-26",
// "11,15,20", "15-18,25".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t CHANNEL_DWELL_DEFAULT_MS = 2000;
constexpr uint32_t CHANNEL_DWELL_MIN_MS = 100;      // a retune takes three answers
constexpr uint32_t CHANNEL_DWELL_MAX_MS = 3600u * 1000u;
constexpr uint32_t SURVEY_SWEEPS_MAX = 1000;
// How long a capture waits for a dongle that went away to come back.
constexpr uint32_t RESUME_WAIT_DEFAULT_MS = 30000;
constexpr uint32_t RESUME_WAIT_MAX_MS = 24u * 3600u * 1000u;

struct CChannelPlan {
    std::vector<int32_t> m_vecChannels;          // in visiting order, each 11..26
    uint32_t m_dwDwellMs = CHANNEL_DWELL_DEFAULT_MS;
    uint32_t m_dwSweeps = 1;                     // survey: rounds; a hopping capture ignores it
    bool Hops() const { return m_vecChannels.size() > 1; }
};

// Every channel, 11 to 26.
std::vector<int32_t> AllChannels();
// "11-26", "11,15,20-22": channels in the order given, each once (a repeat is
// an error). False with a one-line reason.
bool ParseChannelList(const std::string& strList, std::vector<int32_t>& vecOut, std::string& strError);
// The list as ParseChannelList reads it back, runs joined ("11-14,20").
std::string FormatChannelList(const std::vector<int32_t>& vecChannels);
// Seconds with up to three decimals ("2", "0.5") into milliseconds within
// [dwMinMs, dwMaxMs]. False with a one-line reason naming pszWhat.
bool ParseSeconds(const std::string& strValue, uint32_t dwMinMs, uint32_t dwMaxMs, const char* pszWhat,
    uint32_t& dwOutMs, std::string& strError);
