// The IEEE 802.15.4 TAP header (link type 283) in front of each MAC frame:
// version 0, a reserved byte, the header's whole length (16-bit LE), then
// TLVs — type and value length (16-bit LE each), the value, zeros up to a
// multiple of 4. We write two: the FCS type ("none": the dongle replaced the
// FCS by RSSI/LQI, and we do not carry those bytes) and the channel.
#pragma once

#include <cstdint>

constexpr int32_t PCAP_TAP_FIXED_LEN = 4;        // version, reserved, length
constexpr int32_t PCAP_TAP_TLV_HEAD_LEN = 4;     // type, length
constexpr uint16_t PCAP_TAP_TLV_FCS_TYPE = 0;
constexpr uint16_t PCAP_TAP_TLV_CHANNEL = 3;
constexpr uint16_t PCAP_TAP_FCS_TYPE_LEN = 1;
constexpr uint16_t PCAP_TAP_CHANNEL_LEN = 3;     // channel u16, page u8
constexpr uint8_t PCAP_TAP_FCS_NONE = 0;         // 1: 16-bit CRC, 2: 32-bit CRC
constexpr uint8_t PCAP_TAP_CHANNEL_PAGE = 0;     // 2.4 GHz O-QPSK
// 4 + (4 + 1 + 3 pad) + (4 + 3 + 1 pad)
constexpr int32_t PCAP_TAP_HEADER_LEN = 20;

// Writes the header for a frame received on nChannel (0..65535) into pOut.
// Returns the bytes written (PCAP_TAP_HEADER_LEN), or 0 when nCapacity is too
// small or the channel out of range (nothing written then).
int32_t BuildTapHeader(uint8_t* pOut, int32_t nCapacity, int32_t nChannel);
