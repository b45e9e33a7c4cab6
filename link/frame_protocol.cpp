#include "link/frame_protocol.h"

const uint8_t g_byStartSniffFrame[RF_CMD_LEN] = {0x00, 0x01, 0x04, 0x01, 0x01, 0xFA, 0x04};
const uint8_t g_byStopSniffFrame[RF_CMD_LEN] = {0x00, 0x01, 0x04, 0x01, 0x00, 0xFB, 0x04};
const uint8_t g_bySetChannelFrame11[RF_CMD_LEN] = {0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04};

uint8_t RfCommandChecksum(uint8_t byLen, uint8_t byCmd, uint8_t byParam)
{
    const uint32_t dwSum = static_cast<uint32_t>(byLen) + byCmd + byParam;
    return static_cast<uint8_t>((256u - (dwSum & 0xFFu)) & 0xFFu);
}

void PatchSetChannelFrame(uint8_t* pFrame, int32_t nChannel)
{
    if (pFrame == nullptr)
        return;
    // Only the low byte travels; conversion to unsigned keeps negative values defined.
    const uint8_t byChannel = static_cast<uint8_t>(static_cast<uint32_t>(nChannel) & 0xFFu);
    pFrame[4] = byChannel;
    pFrame[5] = RfCommandChecksum(0x04, 0x00, byChannel);   // LEN 4, command 0 (set channel)
}

bool RfIsAckLength(int32_t nTotal)
{
    return nTotal >= RF_FRAME_MIN_LEN && nTotal <= RF_ACK_MAX_LEN;
}

bool RfIsDataLength(int32_t nTotal)
{
    return nTotal > RF_ACK_MAX_LEN && nTotal <= RF_FRAME_MAX_LEN;
}

int32_t RfPayloadLength(int32_t nTotal)
{
    return nTotal - RF_PAYLOAD_OVERHEAD;
}
