#include "link/mac_header.h"

CMacHeader ParseMacHeader(const uint8_t* pFrame, int32_t nLen)
{
    (void)pFrame;
    (void)nLen;
    return CMacHeader();
}
