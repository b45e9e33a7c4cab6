// The MAC header reader on arbitrary bytes: never reads past the end (ASan),
// and what it reports stays within the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/mac_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > 4096)
        return 0;
    // An exact-size copy, so that a read one past the end is caught.
    std::unique_ptr<uint8_t[]> p(new uint8_t[nSize == 0 ? 1 : nSize]);
    if (nSize > 0)
        memcpy(p.get(), pData, nSize);
    const CMacHeader hdr = ParseMacHeader(p.get(), static_cast<int32_t>(nSize));
    if (!hdr.m_bParsed && (hdr.m_bAddressesParsed || hdr.m_bHasDstPan || hdr.m_bHasSrcPan || hdr.m_bZigBeeBeacon))
        abort();
    if (hdr.m_bAddressesParsed && (hdr.m_nHeaderLen < 2 || static_cast<size_t>(hdr.m_nHeaderLen) > nSize))
        abort();
    if (hdr.m_bZigBeeBeacon && (hdr.m_byFrameType != MAC_FRAME_BEACON || !hdr.m_bAddressesParsed))
        abort();
    return 0;
}
