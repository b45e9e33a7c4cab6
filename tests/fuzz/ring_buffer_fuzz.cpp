// The byte ring against a plain queue: any sequence of writes, reads, discards,
// clears and resizes must give the same bytes and counts, and never touch
// memory outside the ring's storage.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <deque>
#include <vector>

#include "serial/ring_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1)
        return 0;
    int32_t nCapacity = 1 + pData[0] % 64;
    CRingBuffer ring(nCapacity);
    std::deque<uint8_t> model;
    uint8_t byNext = 0;
    std::vector<uint8_t> buf(256);
    for (size_t i = 1; i + 1 < nSize; i += 2) {
        const uint8_t byOp = pData[i];
        const int32_t nLen = static_cast<int8_t>(pData[i + 1]);   // negative lengths too
        switch (byOp % 5) {
        case 0: {
            const int32_t nWant = nLen < 0 ? 0 : nLen;
            for (int32_t k = 0; k < nWant; ++k)
                buf[static_cast<size_t>(k)] = byNext++;
            const int32_t nStored = ring.Write(buf.data(), nLen);
            const int32_t nFree = nCapacity - 1 - static_cast<int32_t>(model.size());
            const int32_t nExpect = nLen <= 0 ? 0 : (nLen < nFree ? nLen : nFree);
            if (nStored != nExpect)
                abort();
            model.insert(model.end(), buf.begin(), buf.begin() + nStored);
            byNext = static_cast<uint8_t>(byNext - (nWant - nStored));
            break;
        }
        case 1: {
            const int32_t nGot = ring.Read(buf.data(), nLen);
            const int32_t nExpect = nLen <= 0 ? 0 : std::min<int32_t>(nLen, static_cast<int32_t>(model.size()));
            if (nGot != nExpect)
                abort();
            for (int32_t k = 0; k < nGot; ++k) {
                if (buf[static_cast<size_t>(k)] != model.front())
                    abort();
                model.pop_front();
            }
            break;
        }
        case 2: {
            const int32_t nGone = ring.Discard(nLen);
            const int32_t nExpect = nLen <= 0 ? 0 : std::min<int32_t>(nLen, static_cast<int32_t>(model.size()));
            if (nGone != nExpect)
                abort();
            model.erase(model.begin(), model.begin() + nGone);
            break;
        }
        case 3:
            ring.Clear();
            model.clear();
            break;
        default:
            nCapacity = 1 + (pData[i + 1] % 64);
            ring.Resize(nCapacity);
            model.clear();
            break;
        }
        if (ring.GetCount() != static_cast<int32_t>(model.size())
            || ring.GetFree() != nCapacity - 1 - static_cast<int32_t>(model.size()))
            abort();
    }
    return 0;
}
