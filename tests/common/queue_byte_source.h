// Stands in for the receive ring in the frame reader's tests: bytes arrive at
// the back, the reader takes them from the front. m_nMaxPerRead > 0 makes Read
// hand back less than asked.
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

    std::deque<uint8_t> m_q;
    int32_t m_nMaxPerRead = 0;
    int32_t m_nReads = 0;
};
