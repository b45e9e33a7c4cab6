#include "link/frame_forwarder.h"

#include <cstring>

#include "base/steady_us.h"
#include "link/frame_protocol.h"
#include "pcap/pcap_tap.h"

namespace {

constexpr int32_t TAP_PAYLOAD_MAX = RF_FRAME_MAX_LEN - RF_PAYLOAD_OVERHEAD;

} // namespace

CFrameForwarder::CFrameForwarder(IPcapRecordSink* pSink)
    : m_pSink(pSink), m_eLinkType(EPcapLinkType::Ieee802154WithFcs), m_nChannel(0), m_bPending(false)
{
}

void CFrameForwarder::SetLinkType(EPcapLinkType eLinkType)
{
    m_eLinkType.store(eLinkType, std::memory_order_relaxed);
}

void CFrameForwarder::SetChannel(int32_t nChannel)
{
    m_nChannel.store(nChannel, std::memory_order_relaxed);
}

void CFrameForwarder::SetSink(IPcapRecordSink* pSink)
{
    m_pSink.store(pSink, std::memory_order_release);
}

void CFrameForwarder::OnDataFrame(const uint8_t* pFrame, int32_t nLen)
{
    IPcapRecordSink* pSink = m_pSink.load(std::memory_order_acquire);
    if (pSink == nullptr || pFrame == nullptr || !RfIsDataLength(nLen))
        return;
    const int32_t nPayload = RfPayloadLength(nLen);
    if (nPayload < 0)
        return;
    const uint8_t* const pPayload = pFrame + RF_PAYLOAD_OFFSET;
    if (m_eLinkType.load(std::memory_order_relaxed) != EPcapLinkType::Ieee802154Tap) {
        pSink->AddRecord(pPayload, nPayload, PcapNow());
        m_bPending = true;
        return;
    }
    // The longest frame the dongle can send bounds the payload: one stack
    // buffer, no allocation per frame.
    uint8_t byRecord[PCAP_TAP_HEADER_LEN + TAP_PAYLOAD_MAX];
    if (nPayload > TAP_PAYLOAD_MAX)
        return;
    const int32_t nTap = BuildTapHeader(byRecord, sizeof byRecord, m_nChannel.load(std::memory_order_relaxed));
    if (nTap == 0)
        return;
    memcpy(byRecord + nTap, pPayload, static_cast<size_t>(nPayload));
    pSink->AddRecord(byRecord, nTap + nPayload, PcapNow());
    m_bPending = true;
}

void CFrameForwarder::OnDataBatchEnd()
{
    IPcapRecordSink* pSink = m_pSink.load(std::memory_order_acquire);
    if (pSink != nullptr && m_bPending && m_pacer.OnBatch(SteadyNowUs()))
        Flush(pSink);
}

void CFrameForwarder::OnDataDue()
{
    IPcapRecordSink* pSink = m_pSink.load(std::memory_order_acquire);
    if (pSink != nullptr && m_bPending && m_pacer.OnWake(SteadyNowUs()))
        Flush(pSink);
}

void CFrameForwarder::Flush(IPcapRecordSink* pSink)
{
    m_bPending = false;
    pSink->FlushRecords();
}
