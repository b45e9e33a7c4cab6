#include "serial/ring_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

PFN_RING_REALLOC g_pfnRingRealloc = std::realloc;

CRingBuffer::CRingBuffer(int32_t nCapacity)
    : m_nCapacity(nCapacity), m_nReadPos(0), m_nWritePos(0), m_pData(nullptr)
{
    try {
        Resize(nCapacity);
    } catch (...) {
        Resize(0);
    }
}

CRingBuffer::~CRingBuffer()
{
    Resize(0);
}

void CRingBuffer::Resize(int32_t nCapacity)
{
    // The contents go first, whether or not the new block can be had.
    m_nWritePos.store(0, std::memory_order_release);
    m_nReadPos.store(0, std::memory_order_release);
    if (nCapacity > 0) {
        void* pNew = g_pfnRingRealloc(m_pData, static_cast<size_t>(nCapacity));
        if (pNew != nullptr) {
            m_pData = static_cast<uint8_t*>(pNew);
            m_nCapacity = nCapacity;
            // Every page taken now, while the port is made: otherwise the
            // reader thread takes their faults one by one through the first
            // pass of a capture (a second of the line rate).
            std::memset(m_pData, 0, static_cast<size_t>(nCapacity));
        }
    } else if (m_pData != nullptr) {
        std::free(m_pData);
        m_pData = nullptr;
    }
}

void CRingBuffer::CopyIn(int32_t nPos, const uint8_t* pSrc, int32_t n)
{
    const int32_t nFirst = std::min(n, m_nCapacity - nPos);
    std::memcpy(m_pData + nPos, pSrc, static_cast<size_t>(nFirst));
    if (n > nFirst)
        std::memcpy(m_pData, pSrc + nFirst, static_cast<size_t>(n - nFirst));
}

void CRingBuffer::CopyOut(int32_t nPos, uint8_t* pDst, int32_t n) const
{
    const int32_t nFirst = std::min(n, m_nCapacity - nPos);
    std::memcpy(pDst, m_pData + nPos, static_cast<size_t>(nFirst));
    if (n > nFirst)
        std::memcpy(pDst + nFirst, m_pData, static_cast<size_t>(n - nFirst));
}

int32_t CRingBuffer::Write(const uint8_t* pSrc, int32_t nLen)
{
    if (m_pData == nullptr || nLen <= 0 || pSrc == nullptr)
        return 0;
    const int32_t nCap = m_nCapacity;
    const int32_t nWrite = m_nWritePos.load(std::memory_order_relaxed);
    const int32_t nRead = m_nReadPos.load(std::memory_order_acquire);
    const int32_t n = std::min(Room(nRead, nWrite, nCap), nLen);
    if (n == 0)
        return 0;
    CopyIn(nWrite, pSrc, n);
    // Published after the copies: the consumer never sees the index before the bytes.
    m_nWritePos.store(Advance(nWrite, n, nCap), std::memory_order_release);
    return n;
}

int32_t CRingBuffer::GetWriteSpan(uint8_t** ppDst) const
{
    *ppDst = nullptr;
    if (m_pData == nullptr || m_nCapacity <= 0)
        return 0;
    const int32_t nCap = m_nCapacity;
    const int32_t nWrite = m_nWritePos.load(std::memory_order_relaxed);
    const int32_t nRead = m_nReadPos.load(std::memory_order_acquire);
    const int32_t n = std::min(Room(nRead, nWrite, nCap), nCap - nWrite);
    if (n > 0)
        *ppDst = m_pData + nWrite;
    return n;
}

int32_t CRingBuffer::CommitWrite(int32_t n)
{
    uint8_t* pSpan = nullptr;
    n = std::min(n, GetWriteSpan(&pSpan));
    if (n <= 0)
        return 0;
    const int32_t nWrite = m_nWritePos.load(std::memory_order_relaxed);
    // Published after the bytes: the consumer never sees the index before them.
    m_nWritePos.store(Advance(nWrite, n, m_nCapacity), std::memory_order_release);
    return n;
}

int32_t CRingBuffer::Read(uint8_t* pDst, int32_t nLen)
{
    if (m_pData == nullptr || nLen <= 0 || pDst == nullptr)
        return 0;
    const int32_t nCap = m_nCapacity;
    const int32_t nRead = m_nReadPos.load(std::memory_order_relaxed);
    const int32_t nWrite = m_nWritePos.load(std::memory_order_acquire);
    const int32_t n = std::min(Stored(nRead, nWrite, nCap), nLen);
    if (n == 0)
        return 0;
    CopyOut(nRead, pDst, n);
    // Published after the copies: the producer never overwrites bytes still being read.
    m_nReadPos.store(Advance(nRead, n, nCap), std::memory_order_release);
    return n;
}

int32_t CRingBuffer::Discard(int32_t nLen)
{
    if (m_pData == nullptr || nLen <= 0)
        return 0;
    const int32_t nCap = m_nCapacity;
    const int32_t nRead = m_nReadPos.load(std::memory_order_relaxed);
    const int32_t nWrite = m_nWritePos.load(std::memory_order_acquire);
    const int32_t n = std::min(Stored(nRead, nWrite, nCap), nLen);
    if (n > 0)
        m_nReadPos.store(Advance(nRead, n, nCap), std::memory_order_release);
    return n;
}

int32_t CRingBuffer::GetReadSpan(const uint8_t** ppSrc) const
{
    *ppSrc = nullptr;
    if (m_pData == nullptr || m_nCapacity <= 0)
        return 0;
    const int32_t nCap = m_nCapacity;
    const int32_t nRead = m_nReadPos.load(std::memory_order_relaxed);
    const int32_t nWrite = m_nWritePos.load(std::memory_order_acquire);
    const int32_t n = std::min(Stored(nRead, nWrite, nCap), nCap - nRead);
    if (n > 0)
        *ppSrc = m_pData + nRead;
    return n;
}

int32_t CRingBuffer::GetCount() const
{
    if (m_pData == nullptr || m_nCapacity <= 0)
        return 0;
    const int32_t nWrite = m_nWritePos.load(std::memory_order_acquire);
    const int32_t nRead = m_nReadPos.load(std::memory_order_acquire);
    return Stored(nRead, nWrite, m_nCapacity);
}

int32_t CRingBuffer::GetFree() const
{
    if (m_pData == nullptr || m_nCapacity <= 0)
        return 0;
    const int32_t nWrite = m_nWritePos.load(std::memory_order_acquire);
    const int32_t nRead = m_nReadPos.load(std::memory_order_acquire);
    return Room(nRead, nWrite, m_nCapacity);
}

void CRingBuffer::Clear()
{
    m_nWritePos.store(0, std::memory_order_release);
    m_nReadPos.store(0, std::memory_order_release);
}
