#include "pcap/pcap_tap.h"

#include <cstring>

namespace {

constexpr uint8_t TAP_VERSION = 0;
constexpr int32_t CHANNEL_MAX = 0xFFFF;

void PutLe16(uint8_t* p, uint16_t w)
{
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
}

// One TLV head at p; the value follows, padded by the caller's zeroing.
void PutTlvHead(uint8_t* p, uint16_t wType, uint16_t wLen)
{
    PutLe16(p, wType);
    PutLe16(p + 2, wLen);
}

} // namespace

int32_t BuildTapHeader(uint8_t* pOut, int32_t nCapacity, int32_t nChannel)
{
    if (pOut == nullptr || nCapacity < PCAP_TAP_HEADER_LEN || nChannel < 0 || nChannel > CHANNEL_MAX)
        return 0;
    memset(pOut, 0, PCAP_TAP_HEADER_LEN);   // reserved byte and padding
    pOut[0] = TAP_VERSION;
    PutLe16(pOut + 2, static_cast<uint16_t>(PCAP_TAP_HEADER_LEN));
    uint8_t* p = pOut + PCAP_TAP_FIXED_LEN;
    PutTlvHead(p, PCAP_TAP_TLV_FCS_TYPE, PCAP_TAP_FCS_TYPE_LEN);
    p[PCAP_TAP_TLV_HEAD_LEN] = PCAP_TAP_FCS_NONE;
    p += PCAP_TAP_TLV_HEAD_LEN + 4;
    PutTlvHead(p, PCAP_TAP_TLV_CHANNEL, PCAP_TAP_CHANNEL_LEN);
    PutLe16(p + PCAP_TAP_TLV_HEAD_LEN, static_cast<uint16_t>(nChannel));
    p[PCAP_TAP_TLV_HEAD_LEN + 2] = PCAP_TAP_CHANNEL_PAGE;
    return PCAP_TAP_HEADER_LEN;
}
