// Turns the data frames the controller cuts on the serial reader thread into
// pcap records: the radio payload of each frame becomes one record, and the
// records of one wake-up are handed on as one batch.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/rf_ctrl.h"
#include "pcap/pcap_record_sink.h"

class CFrameForwarder : public IRfDataSink {
public:
    explicit CFrameForwarder(IPcapRecordSink* pSink = nullptr);

    // Window thread, while no capture runs; null drops every frame.
    void SetSink(IPcapRecordSink* pSink);

    // Serial reader thread. Frames too short to hold a payload (8..16 bytes)
    // are skipped: the controller has counted them already.
    void OnDataFrame(const uint8_t* pFrame, int32_t nLen) override;
    void OnDataBatchEnd() override;

private:
    std::atomic<IPcapRecordSink*> m_pSink;
    bool m_bPending;   // records added since the last flush; reader thread only
};
