// A batch of bytes built up by appends and kept between uses. Unlike a
// vector's resize, an append leaves the new room for the caller to fill, so a
// record costs one copy and no zero fill; the storage only grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

class CByteBatch {
public:
    // Room for nLen more bytes at the end, to be written by the caller. Grows
    // (at least doubling) when full; throws std::bad_alloc as a vector would.
    uint8_t* Append(size_t nLen)
    {
        if (nLen > m_nCapacity - m_nSize)
            Grow(m_nSize + nLen);
        uint8_t* const p = m_pData.get() + m_nSize;
        m_nSize += nLen;
        return p;
    }
    const uint8_t* Data() const { return m_pData.get(); }
    size_t Size() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    void Clear() { m_nSize = 0; }
    // Trades contents and storage: a batch handed over leaves its taker's
    // spent storage behind for the next one.
    void Swap(CByteBatch& other) noexcept
    {
        m_pData.swap(other.m_pData);
        std::swap(m_nSize, other.m_nSize);
        std::swap(m_nCapacity, other.m_nCapacity);
    }

private:
    void Grow(size_t nNeed)
    {
        const size_t nCapacity = nNeed > 2 * m_nCapacity ? nNeed : 2 * m_nCapacity;
        std::unique_ptr<uint8_t[]> pNew = std::make_unique_for_overwrite<uint8_t[]>(nCapacity);
        if (m_nSize > 0)
            std::memcpy(pNew.get(), m_pData.get(), m_nSize);
        m_pData = std::move(pNew);
        m_nCapacity = nCapacity;
    }

    std::unique_ptr<uint8_t[]> m_pData;
    size_t m_nSize = 0;
    size_t m_nCapacity = 0;
};
