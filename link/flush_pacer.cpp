#include "link/flush_pacer.h"

namespace {

// The average spacing keeps this many parts of the old value for one of the new.
constexpr uint64_t GAP_AVERAGE_KEEP = 3;

} // namespace

uint32_t FlushHoldFor(int32_t nLatenessUs)
{
    // Twice the lateness: the wake-up may be late, and so may the write after it.
    const int64_t nHold = static_cast<int64_t>(FLUSH_HOLD_BOUND_US) - 2 * static_cast<int64_t>(nLatenessUs);
    return nHold >= static_cast<int64_t>(FLUSH_HOLD_MIN_US) ? static_cast<uint32_t>(nHold) : 0;
}

bool CFlushPacer::OnBatch(uint64_t qwNowUs)
{
    const uint32_t dwHold = m_dwHoldUs.load(std::memory_order_relaxed);
    // A quiet spell (twice the hold) starts the average afresh at that, so
    // that it comes down within a few batches of a burst.
    const uint64_t qwQuiet = 2ull * dwHold;
    const uint64_t qwGap = m_qwLastBatchUs != 0 && qwNowUs > m_qwLastBatchUs ? qwNowUs - m_qwLastBatchUs : qwQuiet;
    m_qwGapUs = qwGap >= qwQuiet ? qwQuiet : (GAP_AVERAGE_KEEP * m_qwGapUs + qwGap) / (GAP_AVERAGE_KEEP + 1);
    m_qwLastBatchUs = qwNowUs;
    if (dwHold == 0)
        return Release(qwNowUs);
    if (m_qwDueUs == 0) {
        if (m_qwLastWriteUs == 0 || qwNowUs >= m_qwLastWriteUs + dwHold)
            return Release(qwNowUs);   // after a quiet spell: at once
        m_qwDueUs = qwNowUs + dwHold;
    }
    // The next wake-up, as far off as the recent ones, would come too late: now.
    if (qwNowUs + m_qwGapUs > m_qwDueUs)
        return Release(qwNowUs);
    return false;
}

bool CFlushPacer::OnWake(uint64_t qwNowUs)
{
    return m_qwDueUs != 0 && qwNowUs >= m_qwDueUs && Release(qwNowUs);
}

bool CFlushPacer::Release(uint64_t qwNowUs)
{
    m_qwLastWriteUs = qwNowUs;
    m_qwDueUs = 0;
    return true;
}
