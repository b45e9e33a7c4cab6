#include "serial/comm_in_queue.h"

#include <algorithm>
#include <cstring>

uint32_t CCommInQueue::Queued()
{
    const uint32_t dwClears = m_dwClears.load(std::memory_order_acquire);
    if (dwClears != m_dwClearsSeen) {
        m_dwClearsSeen = dwClears;
        m_dwHead = 0;
        m_dwTail = 0;
    }
    return m_dwTail - m_dwHead;
}

void CCommInQueue::Filled(uint32_t dwGot)
{
    m_dwHead = 0;
    m_dwTail = std::min(dwGot, SIZE);
}

uint32_t CCommInQueue::Take(uint8_t* pDst, uint32_t dwLen)
{
    const uint32_t dwTake = std::min(Queued(), dwLen);
    std::memcpy(pDst, m_aby + m_dwHead, dwTake);
    m_dwHead += dwTake;
    return dwTake;
}

bool CommTakeReadyEvent(COMM_HANDLE h, CCommInQueue& in, std::atomic<bool>& bTxPending, uint32_t dwMask,
    uint32_t* pdwMask, bool* pbTxWatch)
{
    if ((dwMask & EV_RXCHAR) != 0 && in.Queued() > 0) {
        *pdwMask = EV_RXCHAR;
        return true;
    }
    if ((dwMask & EV_TXEMPTY) != 0 && bTxPending.exchange(false)) {
        uint32_t dwOutQueue = 0;
        if (CommGetOutQueue(h, &dwOutQueue) == 0 || dwOutQueue == 0) {
            *pdwMask = EV_TXEMPTY;
            return true;
        }
        bTxPending.store(true);
        *pbTxWatch = true;
    }
    return false;
}
