// The survey sink fed on one thread (the serial reader's part, hopping
// channels as it goes) while another takes snapshots: every snapshot is
// consistent (bytes match frames, counts never go back) and the end totals
// are exact.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/mac_frames.h"
#include "engine/survey_counts.h"

using namespace macframes;

TEST(SurveyCountsMt, SnapshotsWhileFeedingAreConsistent)
{
    CSurveySink sink;
    const Bytes data = DataFrame(0x1A62, 10);   // every frame the same length
    const int nPerChannel = 2000;
    std::atomic<bool> bDone{false};
    std::thread feeder([&] {
        for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n) {
            sink.SetChannel(n);
            for (int i = 0; i < nPerChannel; ++i)
                sink.AddRecord(data.data(), static_cast<int32_t>(data.size()), CPcapTime{0, 0});
            sink.FlushRecords();
            sink.EndDwell(n);
        }
        bDone = true;
    });
    std::vector<uint64_t> vecLast(CHANNEL_COUNT, 0);
    int nSnapshots = 0;
    while (!bDone || nSnapshots == 0) {
        for (const CSurveyChannel& ch : sink.GetChannels()) {
            const size_t i = static_cast<size_t>(ch.m_nChannel - CHANNEL_FIRST);
            ASSERT_EQ(ch.m_qwBytes, ch.m_qwFrames * data.size()) << "torn snapshot";
            ASSERT_GE(ch.m_qwFrames, vecLast[i]);
            ASSERT_LE(ch.m_vecPanIds.size(), 1u);
            vecLast[i] = ch.m_qwFrames;
        }
        const CSurveyChannel one = sink.GetChannel(18);
        ASSERT_EQ(one.m_qwBytes, one.m_qwFrames * data.size());
        ++nSnapshots;
    }
    feeder.join();
    for (const CSurveyChannel& ch : sink.GetChannels()) {
        EXPECT_EQ(ch.m_qwFrames, static_cast<uint64_t>(nPerChannel));
        EXPECT_EQ(ch.m_vecPanIds, (std::vector<uint16_t>{0x1A62}));
        EXPECT_EQ(ch.m_dwVisits, 1u);
    }
}
