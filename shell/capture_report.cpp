#include "shell/capture_report.h"

namespace {

std::string Seconds(uint32_t dwMs)
{
    return std::to_string((static_cast<uint64_t>(dwMs) + 999) / 1000) + " s";
}

// Counters only grow; a snapshot taken later that is smaller (another
// object) must not wrap into a huge number.
uint64_t Diff(uint64_t qwFrom, uint64_t qwTo)
{
    return qwTo >= qwFrom ? qwTo - qwFrom : 0;
}

std::string Count(uint64_t qw)
{
    return std::to_string(qw);
}

} // namespace

std::string DescribeWaitForWireshark(const char* pszPipePath, uint32_t dwConnectMs)
{
    return "Waiting up to " + Seconds(dwConnectMs) + " for Wireshark to read from "
        + std::string(pszPipePath != nullptr ? pszPipePath : "");
}

std::string DescribePipeEvent(int32_t nEvent, uint32_t dwReconnectMs)
{
    switch (nEvent) {
    case PIPE_EVENT_CLIENT_GONE:
        return "Wireshark closed the pipe: waiting " + Seconds(dwReconnectMs)
            + " for it to come back (frames are kept meanwhile)";
    case PIPE_EVENT_CLIENT_BACK:
        return "Wireshark is reading again: the capture goes on";
    case PIPE_EVENT_RECONNECT_GAVE_UP:
        return "Wireshark did not come back within " + Seconds(dwReconnectMs)
            + ": frames from now on are dropped (Stop, then Start to launch it again)";
    default:
        return std::string();
    }
}

std::string DescribeLineLost(int32_t nPort)
{
    return "The sniffing device on COM" + std::to_string(nPort)
        + " went away (unplugged?): the capture ends";
}

std::string DescribeCaptureSummary(const CRfCounters& rfFrom, const CRfCounters& rfTo,
    const CPcapPipeStats& pipeFrom, const CPcapPipeStats& pipeTo)
{
    const uint64_t qwDelivered = Diff(pipeFrom.m_qwRecordsDelivered, pipeTo.m_qwRecordsDelivered);
    const uint64_t qwGaps = Diff(rfFrom.m_qwGaps, rfTo.m_qwGaps);
    const uint64_t qwGapBytes = Diff(rfFrom.m_qwGapBytes, rfTo.m_qwGapBytes);
    const uint64_t qwNoReader = Diff(pipeFrom.m_qwDroppedNoReader, pipeTo.m_qwDroppedNoReader);
    const uint64_t qwSlow = Diff(pipeFrom.m_qwDroppedSlowReader, pipeTo.m_qwDroppedSlowReader);
    const uint64_t qwNoise = Diff(rfFrom.m_qwNoiseBytes, rfTo.m_qwNoiseBytes);

    // A gap loses at least the frame that was being received when it came.
    std::string strOverflow = Count(qwGaps);
    if (qwGapBytes != 0)
        strOverflow += " (" + Count(qwGapBytes) + " bytes)";
    return "Frames delivered: " + Count(qwDelivered) + "; lost: " + Count(qwGaps + qwNoReader + qwSlow)
        + " (receive overflow: " + strOverflow + ", no reader: " + Count(qwNoReader)
        + ", reader too slow: " + Count(qwSlow) + "); noise bytes skipped: " + Count(qwNoise);
}
