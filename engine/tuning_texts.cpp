#include "engine/tuning_texts.h"

namespace {

std::string Plural(uint64_t qwCount, const char* pszOne, const char* pszMany)
{
    return std::to_string(qwCount) + " " + (qwCount == 1 ? pszOne : pszMany);
}

} // namespace

std::string SecondsText(uint64_t qwMs)
{
    std::string str = std::to_string(qwMs / 1000);
    uint64_t qwFrac = qwMs % 1000;
    if (qwFrac == 0)
        return str;
    std::string strFrac = std::to_string(qwFrac + 1000).substr(1);   // three digits
    while (!strFrac.empty() && strFrac.back() == '0')
        strFrac.pop_back();
    return str + "." + strFrac;
}

std::string DongleWhere(int32_t nPort, const std::string& strDevice)
{
    return strDevice.empty() ? "COM" + std::to_string(nPort) : strDevice;
}

std::string DescribeRetuned(int32_t nChannel)
{
    return "Sniffing on channel " + std::to_string(nChannel);
}

std::string DescribeRetuneFailed(int32_t nChannel)
{
    return "Retune to channel " + std::to_string(nChannel) + " FAIL!";
}

std::string DescribeHopPlan(const CChannelPlan& plan)
{
    return "Hopping over channels " + FormatChannelList(plan.m_vecChannels) + ", " + SecondsText(plan.m_dwDwellMs)
        + " s on each";
}

std::string DescribeSurveyPlan(const CChannelPlan& plan)
{
    return "Surveying channels " + FormatChannelList(plan.m_vecChannels) + ", " + SecondsText(plan.m_dwDwellMs)
        + " s on each, " + Plural(plan.m_dwSweeps, "sweep", "sweeps");
}

std::string DescribeSurveyDone(uint32_t dwSweeps)
{
    return "Survey done: " + Plural(dwSweeps, "sweep", "sweeps");
}

std::string DescribeAwayWaiting(const std::string& strWhere, uint32_t dwWaitMs)
{
    return "The sniffing device on " + strWhere + " went away (unplugged?): waiting up to " + SecondsText(dwWaitMs)
        + " s for it to come back";
}

std::string DescribeBack(const std::string& strWhere)
{
    return "The sniffing device on " + strWhere + " is back: capture resumed";
}

std::string DescribeNotBack(const std::string& strWhere, uint32_t dwWaitMs)
{
    return "The sniffing device on " + strWhere + " did not come back within " + SecondsText(dwWaitMs)
        + " s: the capture ends";
}

std::string DescribeGaps(uint32_t dwGaps, uint64_t qwAwayMs)
{
    return "The dongle was away " + Plural(dwGaps, "time", "times") + ", " + SecondsText(qwAwayMs)
        + " s in all: what it heard meanwhile is not in the capture";
}
