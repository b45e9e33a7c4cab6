#include "engine/survey_counts.h"

#include <algorithm>
#include <cstdio>

#include "link/mac_header.h"
#include "pcap/pcap_tap.h"

namespace {

constexpr uint16_t PAN_BROADCAST = 0xFFFF;   // "any PAN": no network of its own
constexpr int32_t EXT_PAN_BYTES = 8;

// Adds v to the sorted set unless it is there; a full set counts it instead.
template <typename T>
void AddToSet(std::vector<T>& vec, T v, uint64_t& qwOverflow)
{
    const auto it = std::lower_bound(vec.begin(), vec.end(), v);
    if (it != vec.end() && *it == v)
        return;
    if (vec.size() >= SURVEY_MAX_PAN_IDS) {
        ++qwOverflow;
        return;
    }
    vec.insert(it, v);
}

void AddPan(CSurveyChannel& ch, bool bHas, uint16_t wPan)
{
    if (bHas && wPan != PAN_BROADCAST)
        AddToSet(ch.m_vecPanIds, wPan, ch.m_qwPanIdsOverflow);
}

// The length a TAP header gives itself, 0 when that does not fit the record.
int32_t TapHeaderLength(const uint8_t* pData, int32_t nLen)
{
    if (nLen < PCAP_TAP_FIXED_LEN)
        return 0;
    const int32_t nTap = pData[2] | pData[3] << 8;
    return nTap >= PCAP_TAP_FIXED_LEN && nTap <= nLen ? nTap : 0;
}

void AppendOverflow(std::string& str, uint64_t qwOverflow)
{
    if (qwOverflow == 0)
        return;
    str += " +";
    str += std::to_string(qwOverflow);
    str += " more";
}

std::string ExtPanText(uint64_t qw)
{
    std::string str;
    for (int32_t i = EXT_PAN_BYTES - 1; i >= 0; --i) {
        char sz[4];
        snprintf(sz, sizeof sz, i > 0 ? "%02x:" : "%02x", static_cast<unsigned>((qw >> (8 * i)) & 0xFF));
        str += sz;
    }
    return str;
}

} // namespace

CSurveySink::CSurveySink() : m_nChannel(0), m_eLinkType(EPcapLinkType::Ieee802154WithFcs)
{
    Reset();
}

size_t CSurveySink::IndexOf(int32_t nChannel)
{
    return static_cast<size_t>(nChannel - CHANNEL_FIRST);
}

void CSurveySink::SetChannel(int32_t nChannel)
{
    m_nChannel.store(nChannel, std::memory_order_relaxed);
}

void CSurveySink::SetLinkType(EPcapLinkType eLinkType)
{
    m_eLinkType.store(eLinkType, std::memory_order_relaxed);
}

void CSurveySink::EndDwell(int32_t nChannel)
{
    if (!IsValidChannel(nChannel))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_arrChannels[IndexOf(nChannel)].m_dwVisits;
}

void CSurveySink::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n) {
        CSurveyChannel ch;
        ch.m_nChannel = n;
        m_arrChannels[IndexOf(n)] = std::move(ch);
    }
}

CSurveyChannel CSurveySink::GetChannel(int32_t nChannel) const
{
    if (!IsValidChannel(nChannel)) {
        CSurveyChannel ch;
        ch.m_nChannel = nChannel;
        return ch;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrChannels[IndexOf(nChannel)];
}

std::vector<CSurveyChannel> CSurveySink::GetChannels() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<CSurveyChannel>(m_arrChannels.begin(), m_arrChannels.end());
}

void CSurveySink::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime)
{
    const int32_t nChannel = m_nChannel.load(std::memory_order_relaxed);
    if (!IsValidChannel(nChannel) || nLen < 0 || (pData == nullptr && nLen > 0))
        return;
    if (m_eLinkType.load(std::memory_order_relaxed) == EPcapLinkType::Ieee802154Tap) {
        const int32_t nTap = TapHeaderLength(pData, nLen);
        if (nTap == 0)
            return;   // not a TAP record: no MAC frame to count
        pData += nTap;
        nLen -= nTap;
    }
    // Parsed before the lock: the lock covers only a few counters and inserts.
    const CMacHeader hdr = ParseMacHeader(pData, nLen);
    std::lock_guard<std::mutex> lock(m_mutex);
    CSurveyChannel& ch = m_arrChannels[IndexOf(nChannel)];
    ++ch.m_qwFrames;
    ch.m_qwBytes += static_cast<uint64_t>(nLen);
    if (!hdr.m_bParsed)
        return;
    if (hdr.m_byFrameType == MAC_FRAME_BEACON)
        ++ch.m_qwBeacons;
    AddPan(ch, hdr.m_bHasDstPan, hdr.m_wDstPan);
    // A compressed frame's source PAN is its destination's: one sighting.
    AddPan(ch, hdr.m_bHasSrcPan && !(hdr.m_bHasDstPan && hdr.m_wSrcPan == hdr.m_wDstPan), hdr.m_wSrcPan);
    if (hdr.m_bZigBeeBeacon)
        AddToSet(ch.m_vecExtPanIds, hdr.m_qwExtPanId, ch.m_qwExtPanIdsOverflow);
}

void CSurveySink::FlushRecords()
{
    // Every record is counted as it comes: nothing is held back.
}

std::string FormatSurveyLine(const CSurveyChannel& ch)
{
    // std::to_string, not printf: 64-bit formats differ on the Windows C runtime.
    std::string str = std::to_string(ch.m_nChannel);
    str += "  frames ";
    str += std::to_string(ch.m_qwFrames);
    str += "  bytes ";
    str += std::to_string(ch.m_qwBytes);
    str += "  beacons ";
    str += std::to_string(ch.m_qwBeacons);
    str += "  PAN ";
    char sz[8];
    if (ch.m_vecPanIds.empty() && ch.m_qwPanIdsOverflow == 0)
        str += "-";
    for (size_t i = 0; i < ch.m_vecPanIds.size(); ++i) {
        snprintf(sz, sizeof sz, i > 0 ? ",0x%04x" : "0x%04x", static_cast<unsigned>(ch.m_vecPanIds[i]));
        str += sz;
    }
    AppendOverflow(str, ch.m_qwPanIdsOverflow);
    if (ch.m_vecExtPanIds.empty() && ch.m_qwExtPanIdsOverflow == 0)
        return str;
    str += "  extended PAN ";
    for (size_t i = 0; i < ch.m_vecExtPanIds.size(); ++i) {
        if (i > 0)
            str += ",";
        str += ExtPanText(ch.m_vecExtPanIds[i]);
    }
    AppendOverflow(str, ch.m_qwExtPanIdsOverflow);
    return str;
}
