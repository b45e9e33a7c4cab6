// Small deterministic generator: the same seed gives the same traffic, garbage
// and signal values, so a failing run can be repeated exactly.
#pragma once

#include <cstdint>

class CSimRandom {
public:
    explicit CSimRandom(uint32_t dwSeed) : m_dwState(dwSeed != 0 ? dwSeed : 0x9E3779B9u) {}

    uint32_t Next()
    {
        // xorshift32
        uint32_t dw = m_dwState;
        dw ^= dw << 13;
        dw ^= dw >> 17;
        dw ^= dw << 5;
        m_dwState = dw;
        return dw;
    }

    // Uniform enough for test traffic: nLow..nHigh inclusive.
    int32_t Range(int32_t nLow, int32_t nHigh)
    {
        if (nHigh <= nLow)
            return nLow;
        const uint32_t dwSpan = static_cast<uint32_t>(nHigh - nLow) + 1u;
        return nLow + static_cast<int32_t>(Next() % dwSpan);
    }

private:
    uint32_t m_dwState;
};
