#include "link/frame_reader.h"

#include <cstring>

namespace {

int32_t Waiting(IRfByteSource& source)
{
    const int32_t n = source.GetCount();
    return n > 0 ? n : 0;
}

// A source may hand back less than asked; never believe more than asked.
int32_t ReadUpTo(IRfByteSource& source, uint8_t* pDst, int32_t nLen)
{
    if (nLen <= 0)
        return 0;
    const int32_t n = source.Read(pDst, nLen);
    if (n < 0)
        return 0;
    return n > nLen ? nLen : n;
}

}  // namespace

CFrameReader::CFrameReader()
    : m_byFrame{}, m_nRxState(RF_RX_AWAIT_HEADER), m_nRxNeed(RF_HEADER_LEN), m_nHeld(0), m_qwDropped(0)
{
}

void CFrameReader::Reset()
{
    m_nRxState = RF_RX_AWAIT_HEADER;
    m_nRxNeed = RF_HEADER_LEN;
    m_nHeld = 0;
}

uint64_t CFrameReader::GetDroppedBytes() const
{
    return m_qwDropped;
}

int32_t CFrameReader::GetState() const
{
    return m_nRxState == RF_RX_AWAIT_BODY ? RF_RX_AWAIT_BODY : RF_RX_AWAIT_HEADER;
}

int32_t CFrameReader::GetNeed() const
{
    return m_nRxNeed;
}

int32_t CFrameReader::GetHeldBytes() const
{
    return m_nHeld;
}

// Brings the three header bytes into the buffer, dropping bytes one at a time
// until the first two are the sync pair. Bytes read stay held (the ring has no
// peek), so a header split across arrivals is picked up where it stopped.
// True once a synchronised header is complete.
bool CFrameReader::FillHeader(IRfByteSource& source)
{
    int32_t nBudget = RF_RESYNC_MAX_DROP_PER_STEP;
    for (;;) {
        const bool bBad0 = m_nHeld >= 1 && m_byFrame[0] != RF_SYNC0;
        const bool bBad1 = m_nHeld >= 2 && m_byFrame[1] != RF_SYNC1;
        if (bBad0 || bBad1) {
            if (nBudget == 0)
                return false;
            // The second byte may itself start the sync pair (00 00 01 ...).
            std::memmove(m_byFrame, m_byFrame + 1, static_cast<size_t>(m_nHeld - 1));
            --m_nHeld;
            ++m_qwDropped;
            --nBudget;
            continue;
        }
        if (m_nHeld >= RF_HEADER_LEN)
            return true;
        const int32_t nWant = RF_HEADER_LEN - m_nHeld;
        const int32_t nAvail = Waiting(source);
        const int32_t nAsk = nAvail < nWant ? nAvail : nWant;
        const int32_t nGot = ReadUpTo(source, m_byFrame + m_nHeld, nAsk);
        if (nGot == 0)
            return false;
        m_nHeld += nGot;
    }
}

// Reads the rest of the body in one read. A short read keeps what came.
bool CFrameReader::FillBody(IRfByteSource& source)
{
    const int32_t nRemain = m_nRxNeed - (m_nHeld - RF_HEADER_LEN);
    if (nRemain <= 0)
        return true;
    const int32_t nGot = ReadUpTo(source, m_byFrame + m_nHeld, nRemain);
    m_nHeld += nGot;
    return nGot == nRemain;
}

bool CFrameReader::CanProgress(IRfByteSource& source) const
{
    const int32_t nAvail = Waiting(source);
    if (m_nRxState == RF_RX_AWAIT_BODY)
        return nAvail >= m_nRxNeed - (m_nHeld - RF_HEADER_LEN);
    return m_nHeld + nAvail >= RF_HEADER_LEN;
}

// The common case at a steady stream: nothing held, and the next frame lies
// whole, synchronised, in one piece of the source. Anything else (noise first,
// a frame not all there or split by the end of the ring, a source that cannot
// show its bytes) takes the copying path below.
bool CFrameReader::DeliverInPlace(IRfByteSource& source, IRfFrameSink& sink)
{
    const uint8_t* pSrc = nullptr;
    const int32_t nShown = source.Peek(&pSrc);
    if (nShown < RF_HEADER_LEN || pSrc == nullptr || pSrc[0] != RF_SYNC0 || pSrc[1] != RF_SYNC1)
        return false;
    const int32_t nLen = RF_HEADER_LEN + pSrc[2];
    if (nShown < nLen)
        return false;
    sink.DeliverFrame(pSrc, nLen);
    source.Skip(nLen);
    Reset();
    if (CanProgress(source))
        sink.RequestRerun();
    return true;
}

void CFrameReader::Step(IRfByteSource& source, IRfFrameSink& sink)
{
    if (m_nRxState != RF_RX_AWAIT_BODY && m_nHeld == 0 && DeliverInPlace(source, sink))
        return;
    if (m_nRxState != RF_RX_AWAIT_BODY) {
        m_nRxState = RF_RX_AWAIT_HEADER;
        // One or two bytes are left alone until more arrive.
        if (m_nHeld + Waiting(source) < RF_HEADER_LEN)
            return;
        if (!FillHeader(source)) {
            // Out of bytes or out of this step's resync budget.
            if (CanProgress(source))
                sink.RequestRerun();
            return;
        }
        m_nRxNeed = m_byFrame[2];
        if (Waiting(source) < m_nRxNeed) {
            m_nRxState = RF_RX_AWAIT_BODY;
            return;
        }
    } else if (!CanProgress(source)) {
        return;   // body not all here yet; nothing consumed
    }

    if (FillBody(source)) {
        // The sink sees the frame before the state is reset, and runs to
        // completion before this step goes on.
        sink.DeliverFrame(m_byFrame, m_nRxNeed + RF_HEADER_LEN);
        Reset();
    } else {
        m_nRxState = RF_RX_AWAIT_BODY;
    }
    if (CanProgress(source))
        sink.RequestRerun();
}
