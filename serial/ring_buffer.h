// Fixed-capacity byte queue for exactly one producer thread and one consumer
// thread, without a lock. One slot always stays empty, so a ring of capacity C
// holds at most C - 1 bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The C heap's realloc by default; tests replace it to make an allocation fail.
typedef void* (*PFN_RING_REALLOC)(void* pBlock, size_t nSize);
extern PFN_RING_REALLOC g_pfnRingRealloc;

class CRingBuffer {
public:
    explicit CRingBuffer(int32_t nCapacity);
    virtual ~CRingBuffer();

    // Empties the ring and (re)allocates the storage; a capacity <= 0 frees it.
    // A failed allocation keeps the old storage and capacity (but empties the ring).
    // Not safe while another thread uses the ring.
    void Resize(int32_t nCapacity);

    // Producer side: stores as many bytes as fit, returns the number stored.
    int32_t Write(const uint8_t* pSrc, int32_t nLen);
    // Producer side, without a copy of its own: *ppDst is where the next byte
    // goes and the return value how many may go there in one piece (the room up
    // to the end of the storage; 0, *ppDst null, when full or without storage).
    // CommitWrite then stores the first n of them (at most what the span had).
    int32_t GetWriteSpan(uint8_t** ppDst) const;
    int32_t CommitWrite(int32_t n);
    // Consumer side: removes up to nLen bytes, oldest first, returns the number copied.
    int32_t Read(uint8_t* pDst, int32_t nLen);
    // Consumer side: removes up to nLen bytes without copying them, returns the number removed.
    int32_t Discard(int32_t nLen);
    // Consumer side, without a copy: *ppSrc is the oldest stored byte and the
    // return value how many stored bytes follow from there in one piece (up to
    // the end of the storage; 0, *ppSrc null, when empty). They stay stored
    // until read or discarded.
    int32_t GetReadSpan(const uint8_t** ppSrc) const;

    // Any thread: a snapshot of the number of stored bytes (0 without storage).
    int32_t GetCount() const;
    // Bytes that a Write could store now (0 without storage).
    int32_t GetFree() const;
    // Both indices back to 0, storage kept. Not safe while another thread uses the ring.
    void Clear();

    int32_t GetCapacity() const { return m_nCapacity; }
    bool HasStorage() const { return m_pData != nullptr; }
    int32_t GetReadPos() const { return m_nReadPos.load(std::memory_order_acquire); }
    int32_t GetWritePos() const { return m_nWritePos.load(std::memory_order_acquire); }

    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;

private:
    // The index arithmetic, in one place: bytes stored and room between the
    // two indices of a ring of capacity nCap, an index moved on by n (0..nCap).
    // Both indices lie in 0..nCap-1, so one wrap is all there can be: a
    // compare, not a division, on the reader thread's every read.
    static int32_t Wrap(int32_t n, int32_t nCap) { return n >= nCap ? n - nCap : n; }
    static int32_t Stored(int32_t nRead, int32_t nWrite, int32_t nCap) { return Wrap(nWrite - nRead + nCap, nCap); }
    static int32_t Room(int32_t nRead, int32_t nWrite, int32_t nCap) { return Wrap(nRead - nWrite - 1 + nCap, nCap); }
    static int32_t Advance(int32_t nPos, int32_t n, int32_t nCap) { return Wrap(nPos + n, nCap); }
    // n bytes into / out of the storage from nPos on, wrapping at the end.
    void CopyIn(int32_t nPos, const uint8_t* pSrc, int32_t n);
    void CopyOut(int32_t nPos, uint8_t* pDst, int32_t n) const;

    int32_t m_nCapacity;
    std::atomic<int32_t> m_nReadPos;    // written by the consumer only
    std::atomic<int32_t> m_nWritePos;   // written by the producer only
    uint8_t* m_pData;
};
