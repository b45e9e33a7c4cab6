// Hands the capture side's records to the output of the running capture: the
// pipe link towards Wireshark or a pcap file. The target changes on the window
// thread while the serial reader thread may be adding records; the lock makes
// a change wait for the record or batch in progress, so a target that was
// switched away is never called again and can be closed at once.
#pragma once

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

    // Capture side.
    void AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm) override;
    void FlushRecords() override;

private:
    mutable std::mutex m_mutex;
    IPcapRecordSink* m_pTarget;   // under m_mutex
    bool m_bPending;              // records added to m_pTarget since its last flush
};
