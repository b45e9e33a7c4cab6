#include "engine/survey_counts.h"

CSurveySink::CSurveySink() : m_nChannel(0) {}
void CSurveySink::SetChannel(int32_t nChannel) { m_nChannel.store(nChannel); }
void CSurveySink::EndDwell(int32_t) {}
void CSurveySink::Reset() {}
CSurveyChannel CSurveySink::GetChannel(int32_t) const { return CSurveyChannel(); }
std::vector<CSurveyChannel> CSurveySink::GetChannels() const { return {}; }
void CSurveySink::AddRecord(const uint8_t*, int32_t, CPcapTime) {}
void CSurveySink::FlushRecords() {}
size_t CSurveySink::IndexOf(int32_t nChannel) { return static_cast<size_t>(nChannel - CHANNEL_FIRST); }
std::string FormatSurveyLine(const CSurveyChannel&) { return std::string(); }
