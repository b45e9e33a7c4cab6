// The classic pcap stream (version 2.4, microsecond stamps, little-endian)
// that Wireshark reads live: one global header, then a record header and the
// payload for every frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pcap/byte_batch.h"

constexpr int32_t PCAP_GLOBAL_HEADER_LEN = 24;
constexpr int32_t PCAP_RECORD_HEADER_LEN = 16;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr uint32_t PCAP_LINKTYPE_IEEE802_15_4_WITHFCS = 195;
constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4u;
// The dongle reports RSSI/LQI instead of the frame check sequence, so every
// record declares the frame on the air two bytes longer than it carries.
constexpr uint32_t PCAP_FCS_LEN = 2;

// What a record's bytes are: the MAC frame as the dongle gives it (its FCS
// replaced, so declared two bytes longer), or a TAP header with the channel
// in front of the MAC frame without an FCS (declared as long as it is).
enum class EPcapLinkType : uint32_t {
    Ieee802154WithFcs = PCAP_LINKTYPE_IEEE802_15_4_WITHFCS,
    Ieee802154Tap = 283,
};
// The length a record of dwInclLen bytes declares for the frame on the air.
uint32_t PcapOrigLen(uint32_t dwInclLen, EPcapLinkType eLinkType);

struct CPcapTime { uint32_t m_dwSec; uint32_t m_dwUsec; };

// One real-time clock reading in microseconds; never earlier than the last one
// returned (from any thread), so a clock stepped back cannot reorder records.
CPcapTime PcapNow();

// The clamp behind PcapNow, as an object so that a clock can be fed to it.
class CPcapClock {
public:
    CPcapClock();
    // qwNowUsec: microseconds since 1970-01-01 UTC. Returns the later of that
    // and the last stamp handed out. Thread-safe.
    CPcapTime Stamp(uint64_t qwNowUsec);
private:
    std::atomic<uint64_t> m_qwLastUsec;
};

void BuildPcapGlobalHeader(uint8_t* pOut /*24*/, EPcapLinkType eLinkType = EPcapLinkType::Ieee802154WithFcs);
// orig_len = PcapOrigLen (incl_len + 2 for 195, incl_len for TAP). No length
// check here; CPcapStreamWriter refuses lengths past the snaplen.
void BuildPcapRecordHeader(uint8_t* pOut /*16*/, uint32_t dwInclLen, CPcapTime tm,
                           EPcapLinkType eLinkType = EPcapLinkType::Ieee802154WithFcs);
// Header plus payload of the record whose header (16 bytes) starts at pHeader.
size_t PcapRecordSize(const uint8_t* pHeader);
// Appends one record (header, then the nLen payload bytes) to a batch; the
// caller has checked the length. One copy of the payload, nothing else.
void AppendPcapRecord(CByteBatch& batch, const uint8_t* pData, int32_t nLen, CPcapTime tm, EPcapLinkType eLinkType);

class IByteSink {
public:
    virtual ~IByteSink() = default;
    virtual int32_t WriteBytes(const uint8_t* p, int32_t n) = 0;   // bytes moved
};

// Global header once, then header + payload per record, over any sink. Each
// block is handed over whole; a sink that takes part of it is called again for
// the rest, and one that takes nothing ends the write with false.
class CPcapStreamWriter {
public:
    explicit CPcapStreamWriter(IByteSink& sink);
    // Before WriteGlobalHeader; the header and every record follow it. Default 195.
    void SetLinkType(EPcapLinkType eLinkType);
    bool WriteGlobalHeader();
    bool WriteRecord(const uint8_t* pData, int32_t nLen);   // nLen 0..65535, else refused (false)
    bool WriteRecordAt(const uint8_t* pData, int32_t nLen, CPcapTime tm);   // same, given stamp
private:
    bool WriteAll(const uint8_t* p, int32_t n);
    IByteSink& m_sink;
    EPcapLinkType m_eLinkType;
};
