// Hands the capture side's records to the output of the running capture: the
// pipe link towards Wireshark or a pcap file. The target changes on the window
// thread while the serial reader thread may be adding records; a change waits
// for the record or batch in progress, so a target that was switched away is
// never called again and can be closed at once.
//
// The capture side takes no lock: it marks its call as under way, then reads
// the target; a change stores the new target, then waits until no call is
// under way. Both sides order their store before their load, so either the
// call sees the new target or the change sees the call and waits for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "pcap/pcap_record_sink.h"

class CRecordSwitch : public IPcapRecordSink {
public:
    explicit CRecordSwitch(IPcapRecordSink* pTarget = nullptr);

    // Window thread. Records already added for the old target are flushed to
    // it first, so its last batch is not left behind; null drops records.
    void SetTarget(IPcapRecordSink* pTarget);
    IPcapRecordSink* GetTarget() const;

    // Capture side (one thread).
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;

private:
    IPcapRecordSink* EnterCall();
    void LeaveCall();

    std::mutex m_mtxChange;                    // one change at a time
    std::atomic<IPcapRecordSink*> m_pTarget;
    std::atomic<bool> m_bInCall;               // a capture-side call is under way
    IPcapRecordSink* m_pPending;               // capture side: the target holding unflushed records
};
