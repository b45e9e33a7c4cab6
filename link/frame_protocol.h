// The dongle's serial frame format: 00 01 LEN followed by LEN body bytes, in
// both directions. This file holds the command frames we send and the rules
// for classing a received frame by its total length.
#pragma once

#include <cstdint>

constexpr int32_t RF_CMD_LEN = 7;            // every command frame
constexpr int32_t RF_FRAME_BUF_SIZE = 260;   // reader's frame buffer
constexpr int32_t RF_FRAME_MAX_LEN = 258;    // 3 header bytes + LEN 255
constexpr int32_t RF_FRAME_MIN_LEN = 3;      // header only (LEN 0)
constexpr int32_t RF_HEADER_LEN = 3;
constexpr int32_t RF_ACK_MAX_LEN = 7;        // total 3..7 = acknowledgement, 8..258 = data frame
constexpr int32_t RF_PAYLOAD_OFFSET = 10;    // radio payload = bytes 10 .. total-8
constexpr int32_t RF_PAYLOAD_OVERHEAD = 17;  // payload length = total - 17

constexpr uint8_t RF_SYNC0 = 0x00;
constexpr uint8_t RF_SYNC1 = 0x01;

extern const uint8_t g_byStartSniffFrame[RF_CMD_LEN];   // 00 01 04 01 01 FA 04
extern const uint8_t g_byStopSniffFrame[RF_CMD_LEN];    // 00 01 04 01 00 FB 04
extern const uint8_t g_bySetChannelFrame11[RF_CMD_LEN]; // 00 01 04 00 0B F1 04 (initial image)

// Overwrites bytes 4 and 5 of a 7-byte set-channel image with the low 8 bits of
// nChannel and its checksum; the other bytes must already be the image
// 00 01 04 00 xx xx 04. No range check: the caller supplies 11..26.
void PatchSetChannelFrame(uint8_t* pFrame, int32_t nChannel);

// Byte that makes LEN + command + parameter + checksum == 0 (mod 256).
uint8_t RfCommandChecksum(uint8_t byLen, uint8_t byCmd, uint8_t byParam);

bool RfIsAckLength(int32_t nTotal);                     // 3..7
bool RfIsDataLength(int32_t nTotal);                    // 8..258
int32_t RfPayloadLength(int32_t nTotal);                // nTotal - 17 (negative for 8..16)
