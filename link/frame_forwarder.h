// Turns the data frames the controller cuts on the serial reader thread into
// pcap records: the radio payload of each frame becomes one record, and the
// records of one wake-up are handed on as one batch, or those of wake-ups
// close together as one (CFlushPacer). With the TAP link type each record is
// a TAP header holding the channel, then the payload.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/flush_pacer.h"
#include "link/rf_ctrl.h"
#include "pcap/pcap_record_sink.h"

class CFrameForwarder : public IRfDataSink {
public:
    explicit CFrameForwarder(IPcapRecordSink* pSink = nullptr);

    // Window thread, while no capture runs; null drops every frame.
    void SetSink(IPcapRecordSink* pSink);
    // Window thread, while no capture runs: what the records are (default
    // 195: the payload as it is, no copy). The sink's link type must match.
    void SetLinkType(EPcapLinkType eLinkType);
    // Any thread: the channel the following frames were received on (what a
    // TAP header says).
    void SetChannel(int32_t nChannel);
    // Window thread, while no capture runs: how long a batch may wait to go
    // out with the next ones (see CFlushPacer); 0, the default, sends each at
    // once.
    void SetFlushHoldUs(uint32_t dwHoldUs) { m_pacer.SetHoldUs(dwHoldUs); }

    // Serial reader thread. Frames too short to hold a payload (8..16 bytes)
    // are skipped: the controller has counted them already.
    void OnDataFrame(const uint8_t* pFrame, int32_t nLen) override;
    void OnDataBatchEnd() override;
    uint64_t GetDataDueUs() const override { return m_bPending ? m_pacer.GetDueUs() : 0; }
    void OnDataDue() override;

private:
    void Flush(IPcapRecordSink* pSink);

    std::atomic<IPcapRecordSink*> m_pSink;
    std::atomic<EPcapLinkType> m_eLinkType;   // set while no capture runs; atomic to read it whole
    std::atomic<int32_t> m_nChannel;
    bool m_bPending;   // records added since the last flush; reader thread only
    CFlushPacer m_pacer;   // reader thread (its hold: any)
};
