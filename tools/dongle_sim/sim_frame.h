// What the simulated dongle puts on the serial line: data frames around each
// MAC frame it heard, acknowledgements of commands, and (as a fault) stray
// bytes between frames.
//
// Data frame, LEN = 14 + MAC frame length:
//   0-2   00 01 LEN
//   3     channel the radio listens on
//   4-5   frame counter since the simulator started (little-endian)
//   6-9   time stamp, microseconds since the simulator started (little-endian)
//   10..  the MAC frame without its FCS
//   then  FCS as received (2 bytes, little-endian), RSSI (signed dBm), LQI,
//         status (0x80: FCS good), low byte of the frame counter, 04
#pragma once

#include <cstdint>

#include "link/frame_protocol.h"
#include "tools/dongle_sim/sim_random.h"

constexpr int32_t SIM_LEAD_LEN = 7;
constexpr int32_t SIM_TRAIL_LEN = 7;
constexpr int32_t SIM_GARBAGE_MAX = 12;

struct CSimFrameMeta {
    uint8_t m_byChannel;
    uint16_t m_wCounter;
    uint32_t m_dwTimeUs;
    int8_t m_nRssi;
    uint8_t m_byLqi;
};

// Writes the data frame into pOut (room for RF_FRAME_MAX_LEN) and returns its
// total length, or -1 when the MAC frame is too long to fit (over 241 bytes).
int32_t BuildSimDataFrame(const uint8_t* pMac, int32_t nMacLen, const CSimFrameMeta& meta, uint8_t* pOut);

// Acknowledgement of a command: 00 01 04, the command byte with bit 7 set,
// the parameter, a checksum by the command rule, 04 (7 bytes).
void BuildSimAckFrame(const uint8_t* pCommand, uint8_t* pOut);

// 1..SIM_GARBAGE_MAX stray bytes into pOut. byPrev is the last byte already
// sent: no two adjacent bytes, across that boundary either, form the 00 01
// sync pair, so a reader that resynchronises on 00 01 loses no frame.
int32_t BuildSimGarbage(CSimRandom& rng, uint8_t byPrev, uint8_t* pOut);
