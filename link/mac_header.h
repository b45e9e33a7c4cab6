// Reads an IEEE 802.15.4 MAC frame as captured (no FCS) just far enough for a
// channel survey: the frame type and version, the PAN IDs it carries, and for
// a beacon the ZigBee extended PAN ID. Every read is bounds-checked: a frame
// that ends early leaves the parts it could not reach "not parsed".
//
// PAN ID compression: frame versions 0 and 1 (2003/2006) carry the source
// PAN only when both addresses are there and compression is off; with
// compression it equals the destination PAN. Version 2 (2015) follows the
// standard's table for the address modes none/short/extended. Only beacons of
// versions 0/1 without security have their payload read (a 2015 beacon is an
// enhanced beacon with IEs); frame types past command and reserved address
// modes leave the addressing fields unread.
// A broadcast PAN ID (0xffff) is reported as it is.
#pragma once

#include <cstdint>

constexpr uint8_t MAC_FRAME_BEACON = 0;
constexpr uint8_t MAC_FRAME_DATA = 1;
constexpr uint8_t MAC_FRAME_ACK = 2;
constexpr uint8_t MAC_FRAME_COMMAND = 3;

constexpr uint8_t MAC_ADDR_NONE = 0;
constexpr uint8_t MAC_ADDR_SHORT = 2;
constexpr uint8_t MAC_ADDR_EXTENDED = 3;

constexpr uint8_t MAC_VERSION_2003 = 0;
constexpr uint8_t MAC_VERSION_2006 = 1;
constexpr uint8_t MAC_VERSION_2015 = 2;

constexpr uint8_t ZIGBEE_BEACON_PROTOCOL_ID = 0;

struct CMacHeader {
    bool m_bParsed = false;        // frame control and sequence number read
    uint8_t m_byFrameType = 0;     // MAC_FRAME_* or another value 4..7
    uint8_t m_byVersion = 0;       // MAC_VERSION_*
    uint8_t m_byDstMode = 0;       // MAC_ADDR_*
    uint8_t m_bySrcMode = 0;
    bool m_bHasDstPan = false;
    uint16_t m_wDstPan = 0;
    bool m_bHasSrcPan = false;     // carried, or implied by compression
    uint16_t m_wSrcPan = 0;
    bool m_bAddressesParsed = false;   // the whole addressing fields were there
    int32_t m_nHeaderLen = 0;          // bytes up to the end of the addressing fields
    bool m_bZigBeeBeacon = false;      // a beacon with a whole ZigBee payload (protocol id 0, 15 bytes)
    uint64_t m_qwExtPanId = 0;         // of that beacon, as a number (LE on the air)
};

// Parses pFrame[0..nLen). Never reads past nLen; a null frame parses nothing.
CMacHeader ParseMacHeader(const uint8_t* pFrame, int32_t nLen);
