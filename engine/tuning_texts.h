// The texts of retuning, hopping, surveying and of a dongle that went away
// and came back, defined once for every face.
#pragma once

#include <cstdint>
#include <string>

#include "engine/channel_plan.h"

// "2", "0.5", "1.25" (seconds, from milliseconds).
std::string SecondsText(uint64_t qwMs);
// Where the dongle is: "COM200", or the device node named directly.
std::string DongleWhere(int32_t nPort, const std::string& strDevice);

std::string DescribeRetuned(int32_t nChannel);                 // "Sniffing on channel 20"
std::string DescribeRetuneFailed(int32_t nChannel);            // "Retune to channel 20 FAIL!"
std::string DescribeHopPlan(const CChannelPlan& plan);         // "Hopping over channels 11-26, 2 s on each"
std::string DescribeSurveyPlan(const CChannelPlan& plan);      // "Surveying channels 11-26, 2 s on each, 1 sweep"
std::string DescribeSurveyDone(uint32_t dwSweeps);             // "Survey done: 1 sweep"

// The dongle went away and is waited for (dwWaitMs), came back, or did not.
std::string DescribeAwayWaiting(const std::string& strWhere, uint32_t dwWaitMs);
std::string DescribeBack(const std::string& strWhere);
std::string DescribeNotBack(const std::string& strWhere, uint32_t dwWaitMs);
// After the summary of a capture the dongle left and rejoined dwGaps times.
std::string DescribeGaps(uint32_t dwGaps, uint64_t qwAwayMs);
