// When the records of a wake-up go out. Each pcap write wakes the reader
// (Wireshark); frames often come in quick succession (a frame and its
// acknowledgement 0.2 ms apart, a burst), so the records of wake-ups close
// together are better sent in one write. Reads are never delayed and every
// record keeps the time stamp of its read; only the write waits, and only a
// little:
//   - a batch after a quiet spell (no write for the hold) goes out at once;
//   - otherwise it is held, if the next wake-up, coming as the recent ones
//     came (their average spacing), is due before the hold has passed since
//     the first held batch; what is held goes out at the first wake-up after
//     which the next one would be late, or at the latest by a wake-up asked
//     for when the hold has passed. Holding when no other batch would join
//     it would cost a wake-up and save no write.
// Plain logic on the steady clock's microseconds; the caller does the writes
// and the waking.
#pragma once

#include <atomic>
#include <cstdint>

// No record waits longer than this for its write.
constexpr uint32_t FLUSH_HOLD_BOUND_US = 1000;
// A shorter hold is not worth a timed wake-up.
constexpr uint32_t FLUSH_HOLD_MIN_US = 200;

// The hold that keeps within the bound where a timed wait may end up to
// nLatenessUs late; 0 (every batch at once) where the wait is too coarse.
uint32_t FlushHoldFor(int32_t nLatenessUs);

class CFlushPacer {
public:
    // Any thread, between captures; 0 sends every batch at once.
    void SetHoldUs(uint32_t dwHoldUs) { m_dwHoldUs.store(dwHoldUs, std::memory_order_relaxed); }

    // The pacing thread. A batch was added at qwNowUs: true when it and
    // whatever is held go out now; otherwise they are held until GetDueUs().
    bool OnBatch(uint64_t qwNowUs);
    // The pacing thread, woken at qwNowUs (for the due time or not): true when
    // what is held goes out now.
    bool OnWake(uint64_t qwNowUs);
    // When what is held must go out; 0 when nothing is held.
    uint64_t GetDueUs() const { return m_qwDueUs; }

private:
    bool Release(uint64_t qwNowUs);

    std::atomic<uint32_t> m_dwHoldUs { 0 };
    uint64_t m_qwLastWriteUs = 0;   // 0: none yet
    uint64_t m_qwLastBatchUs = 0;   // 0: none yet
    uint64_t m_qwGapUs = 0;         // the average spacing of recent batches
    uint64_t m_qwDueUs = 0;         // 0: nothing held
};
