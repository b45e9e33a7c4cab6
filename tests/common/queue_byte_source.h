// Stands in for the receive ring in the frame reader's tests: bytes arrive at
// the back, the reader takes them from the front. m_nMaxPerRead > 0 makes Read
// hand back less than asked; m_nShowMax > 0 lets Peek show up to that many of
// the oldest bytes in one piece (as a ring does up to its storage's end).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "link/frame_reader.h"

class CQueueByteSource : public IRfByteSource {
public:
    void Arrive(const std::vector<uint8_t>& by) { m_q.insert(m_q.end(), by.begin(), by.end()); }
    int32_t GetCount() override { return static_cast<int32_t>(m_q.size()); }
    int32_t Read(uint8_t* pDst, int32_t nLen) override
    {
        ++m_nReads;
        int32_t n = nLen < GetCount() ? nLen : GetCount();
        if (m_nMaxPerRead > 0 && n > m_nMaxPerRead)
            n = m_nMaxPerRead;
        for (int32_t i = 0; i < n; ++i) {
            pDst[i] = m_q.front();
            m_q.pop_front();
        }
        return n;
    }

    int32_t Peek(const uint8_t** ppSrc) override
    {
        const int32_t n = m_nShowMax < GetCount() ? m_nShowMax : GetCount();
        m_vShown.assign(m_q.begin(), m_q.begin() + n);
        *ppSrc = n > 0 ? m_vShown.data() : nullptr;
        return n;
    }
    void Skip(int32_t nLen) override
    {
        ++m_nSkips;
        for (int32_t i = 0; i < nLen && !m_q.empty(); ++i)
            m_q.pop_front();
    }

    std::deque<uint8_t> m_q;
    int32_t m_nMaxPerRead = 0;
    int32_t m_nReads = 0;
    int32_t m_nShowMax = 0;
    int32_t m_nSkips = 0;
    std::vector<uint8_t> m_vShown;   // what the last Peek showed
};
