// Cuts the dongle's received byte stream into frames, at most one per step,
// so that a burst is worked off over several turns of the message loop.
#pragma once

#include <cstdint>

#include "link/frame_protocol.h"

class IRfByteSource {   // the serial port's receive ring in the system
public:
    virtual ~IRfByteSource() = default;
    virtual int32_t GetCount() = 0;                          // bytes waiting
    virtual int32_t Read(uint8_t* pDst, int32_t nLen) = 0;   // removes up to nLen, returns count
    // The oldest waiting bytes where they lie, as many as follow in one piece
    // (never more than GetCount); 0 where the source cannot show them. Skip
    // then removes the first nLen of them.
    virtual int32_t Peek(const uint8_t** ppSrc) { *ppSrc = nullptr; return 0; }
    virtual void Skip(int32_t nLen) { (void)nLen; }
};

class IRfFrameSink {
public:
    virtual ~IRfFrameSink() = default;
    virtual void DeliverFrame(const uint8_t* pFrame, int32_t nLen) = 0;   // pointer valid during call
    virtual void RequestRerun() = 0;                         // post one more reader step
};

// Most bytes one step throws away while hunting for the 00 01 sync pair; the
// step then asks for a re-run so the window keeps answering during a long
// run of garbage.
constexpr int32_t RF_RESYNC_MAX_DROP_PER_STEP = 512;

// What the reader waits for next (GetState).
constexpr int32_t RF_RX_AWAIT_HEADER = 1;
constexpr int32_t RF_RX_AWAIT_BODY = 2;

class CFrameReader {
public:
    CFrameReader();
    // One reader step: delivers at most one frame; requests a re-run while the
    // bytes waiting (with those already held) let the next step get on. A
    // whole frame the source shows in one piece goes to the sink where it
    // lies, without a copy.
    void Step(IRfByteSource& source, IRfFrameSink& sink);
    // Forgets a partly received frame (the byte and drop counters stay).
    void Reset();
    uint64_t GetDroppedBytes() const;   // bytes discarded while looking for the 00 01 sync pair
    int32_t GetState() const;           // RF_RX_AWAIT_HEADER or RF_RX_AWAIT_BODY
    int32_t GetNeed() const;            // 3 for a header, LEN for a body
    int32_t GetHeldBytes() const;       // bytes of the current frame already in the buffer

private:
    bool DeliverInPlace(IRfByteSource& source, IRfFrameSink& sink);
    bool FillHeader(IRfByteSource& source);
    bool FillBody(IRfByteSource& source);
    bool CanProgress(IRfByteSource& source) const;

    uint8_t m_byFrame[RF_FRAME_BUF_SIZE];
    int32_t m_nRxState;   // RF_RX_AWAIT_*
    int32_t m_nRxNeed;
    int32_t m_nHeld;      // bytes of the frame in m_byFrame; the ring has no peek
    uint64_t m_qwDropped;
};
