#include "link/frame_forwarder.h"

#include "link/frame_protocol.h"

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
    pSink->AddRecord(pFrame + RF_PAYLOAD_OFFSET, nPayload, PcapNow());
    m_bPending = true;
}

void CFrameForwarder::OnDataBatchEnd()
{
    IPcapRecordSink* pSink = m_pSink.load(std::memory_order_acquire);
    if (pSink == nullptr || !m_bPending)
        return;
    m_bPending = false;
    pSink->FlushRecords();
}
