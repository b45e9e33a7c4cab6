#include "pcap/pcap_stream.h"

#include <chrono>
#include <cstring>

static void PutLe32(uint8_t* p, uint32_t dw)
{
    p[0] = static_cast<uint8_t>(dw);
    p[1] = static_cast<uint8_t>(dw >> 8);
    p[2] = static_cast<uint8_t>(dw >> 16);
    p[3] = static_cast<uint8_t>(dw >> 24);
}

static void PutLe16(uint8_t* p, uint16_t w)
{
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
}

CPcapClock::CPcapClock() : m_qwLastUsec(0)
{
}

CPcapTime CPcapClock::Stamp(uint64_t qwNowUsec)
{
    uint64_t qwLast = m_qwLastUsec.load(std::memory_order_relaxed);
    uint64_t qwUse = qwNowUsec;
    for (;;) {
        qwUse = qwNowUsec > qwLast ? qwNowUsec : qwLast;
        if (qwUse == qwLast)
            break;   // nothing newer to publish
        if (m_qwLastUsec.compare_exchange_weak(qwLast, qwUse, std::memory_order_relaxed))
            break;
    }
    CPcapTime tm;
    tm.m_dwSec = static_cast<uint32_t>(qwUse / 1000000u);   // low 32 bits of the seconds
    tm.m_dwUsec = static_cast<uint32_t>(qwUse % 1000000u);
    return tm;
}

CPcapTime PcapNow()
{
    static CPcapClock s_clock;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    return s_clock.Stamp(usec > 0 ? static_cast<uint64_t>(usec) : 0u);
}

uint32_t PcapOrigLen(uint32_t dwInclLen, EPcapLinkType eLinkType)
{
    return eLinkType == EPcapLinkType::Ieee802154WithFcs ? dwInclLen + PCAP_FCS_LEN : dwInclLen;
}

void BuildPcapGlobalHeader(uint8_t* pOut, EPcapLinkType eLinkType)
{
    PutLe32(pOut + 0, PCAP_MAGIC);
    PutLe16(pOut + 4, 2);    // version 2.4
    PutLe16(pOut + 6, 4);
    PutLe32(pOut + 8, 0);    // thiszone: stamps are UTC
    PutLe32(pOut + 12, 0);   // sigfigs
    PutLe32(pOut + 16, PCAP_SNAPLEN);
    PutLe32(pOut + 20, static_cast<uint32_t>(eLinkType));
}

size_t PcapRecordSize(const uint8_t* pHeader)
{
    const uint32_t dwIncl = static_cast<uint32_t>(pHeader[8]) | static_cast<uint32_t>(pHeader[9]) << 8
                            | static_cast<uint32_t>(pHeader[10]) << 16 | static_cast<uint32_t>(pHeader[11]) << 24;
    return PCAP_RECORD_HEADER_LEN + static_cast<size_t>(dwIncl);
}

void AppendPcapRecord(CByteBatch& batch, const uint8_t* pData, int32_t nLen, CPcapTime tm, EPcapLinkType eLinkType)
{
    uint8_t* const pRecord = batch.Append(static_cast<size_t>(PCAP_RECORD_HEADER_LEN + nLen));
    BuildPcapRecordHeader(pRecord, static_cast<uint32_t>(nLen), tm, eLinkType);
    if (nLen > 0)
        std::memcpy(pRecord + PCAP_RECORD_HEADER_LEN, pData, static_cast<size_t>(nLen));
}

void BuildPcapRecordHeader(uint8_t* pOut, uint32_t dwInclLen, CPcapTime tm, EPcapLinkType eLinkType)
{
    PutLe32(pOut + 0, tm.m_dwSec);
    PutLe32(pOut + 4, tm.m_dwUsec);
    PutLe32(pOut + 8, dwInclLen);
    PutLe32(pOut + 12, PcapOrigLen(dwInclLen, eLinkType));
}

CPcapStreamWriter::CPcapStreamWriter(IByteSink& sink)
    : m_sink(sink), m_eLinkType(EPcapLinkType::Ieee802154WithFcs)
{
}

void CPcapStreamWriter::SetLinkType(EPcapLinkType eLinkType)
{
    m_eLinkType = eLinkType;
}

bool CPcapStreamWriter::WriteAll(const uint8_t* p, int32_t n)
{
    while (n > 0) {
        const int32_t nMoved = m_sink.WriteBytes(p, n);
        if (nMoved <= 0 || nMoved > n)
            return false;
        p += nMoved;
        n -= nMoved;
    }
    return true;
}

bool CPcapStreamWriter::WriteGlobalHeader()
{
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN];
    BuildPcapGlobalHeader(byHeader, m_eLinkType);
    return WriteAll(byHeader, PCAP_GLOBAL_HEADER_LEN);
}

bool CPcapStreamWriter::WriteRecord(const uint8_t* pData, int32_t nLen)
{
    return WriteRecordAt(pData, nLen, PcapNow());
}

bool CPcapStreamWriter::WriteRecordAt(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    // A record past the snaplen or with a negative length would make every
    // reader reject the rest of the stream.
    if (nLen < 0 || static_cast<uint32_t>(nLen) > PCAP_SNAPLEN)
        return false;
    if (pData == nullptr && nLen > 0)
        return false;
    uint8_t byHeader[PCAP_RECORD_HEADER_LEN];
    BuildPcapRecordHeader(byHeader, static_cast<uint32_t>(nLen), tm, m_eLinkType);
    if (!WriteAll(byHeader, PCAP_RECORD_HEADER_LEN))
        return false;
    return WriteAll(pData, nLen);   // straight from the caller's memory
}
