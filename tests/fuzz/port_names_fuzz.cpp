// Port names and device nodes from arbitrary text: a number that comes out must
// be in range and must map back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "serial/port_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string str(reinterpret_cast<const char*>(pData), nSize);
    const char* psz = str.c_str();   // stops at an embedded zero, as a C caller would
    const int32_t nFromName = ComPortFromName(psz);
    if (nFromName != 0 && (nFromName < COM_PORT_MIN || nFromName > COM_PORT_MAX))
        abort();
    // A link name that reads as a number is exactly the name that number opens.
    const int32_t nFromLink = ComPortFromLinkName(psz);
    if (nFromLink != 0 && "com" + std::to_string(nFromLink) != psz)
        abort();
    const int32_t nFromNode = ComPortFromDeviceNode(psz);
    if (nFromNode != 0 && FixedRangeDeviceNode(nFromNode) != psz)
        abort();
    return 0;
}
