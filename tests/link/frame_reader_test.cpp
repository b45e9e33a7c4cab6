// The frame reader against an in-memory byte stream: framing, one frame per
// step, re-run requests, and recovery from a stream that lost its alignment.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "common/queue_byte_source.h"
#include "link/frame_reader.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class CRecSink : public IRfFrameSink {
public:
    void DeliverFrame(const uint8_t* pFrame, int32_t nLen) override
    {
        m_frames.emplace_back(pFrame, pFrame + nLen);
        m_pLastPtr = pFrame;
    }
    void RequestRerun() override { ++m_nReruns; }
    std::vector<Bytes> m_frames;
    int32_t m_nReruns = 0;
    const uint8_t* m_pLastPtr = nullptr;
};

// 00 01 LEN + body; the body counts up from bySeed.
Bytes Frame(int32_t nLen, uint8_t bySeed = 0x40)
{
    Bytes by = {0x00, 0x01, static_cast<uint8_t>(nLen)};
    for (int32_t i = 0; i < nLen; ++i)
        by.push_back(static_cast<uint8_t>(bySeed + i));
    return by;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes by;
    for (const Bytes& p : parts)
        by.insert(by.end(), p.begin(), p.end());
    return by;
}

// The message loop: every arrival of serial data posts one step, every re-run
// request posts one more; runs until nothing is posted.
class CLoop {
public:
    void Arrive(const Bytes& by)
    {
        m_src.Arrive(by);
        ++m_nPosted;
        Drain();
    }
    void Drain()
    {
        while (m_nPosted > 0) {
            --m_nPosted;
            const int32_t nBefore = m_sink.m_nReruns;
            const size_t nFrames = m_sink.m_frames.size();
            m_reader.Step(m_src, m_sink);
            ASSERT_LE(m_sink.m_frames.size(), nFrames + 1) << "more than one frame in one step";
            m_nPosted += m_sink.m_nReruns - nBefore;
            ++m_nSteps;
        }
    }
    CFrameReader m_reader;
    CQueueByteSource m_src;
    CRecSink m_sink;
    int32_t m_nPosted = 0;
    int32_t m_nSteps = 0;
};

}  // namespace

TEST(FrameReaderBasics, StartsAwaitingAHeader)
{
    CFrameReader reader;
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_HEADER);
    EXPECT_EQ(reader.GetNeed(), 3);
    EXPECT_EQ(reader.GetDroppedBytes(), 0u);
}

TEST(FrameReaderBasics, SevenByteAcknowledgementInOneStepWithoutRerun)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    src.Arrive({0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04});
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], (Bytes{0x00, 0x01, 0x04, 0x00, 0x0B, 0xF1, 0x04}));
    EXPECT_EQ(sink.m_nReruns, 0);
    EXPECT_EQ(src.GetCount(), 0);
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_HEADER);
    EXPECT_EQ(reader.GetNeed(), 3);
}

TEST(FrameReaderBasics, TwoFramesTakeTwoStepsWithARerunBetween)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    const Bytes a = Frame(4, 0x10), b = Frame(30, 0x80);
    src.Arrive(Cat({a, b}));
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], a);
    EXPECT_EQ(sink.m_nReruns, 1);
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 2u);
    EXPECT_EQ(sink.m_frames[1], b);
    EXPECT_EQ(sink.m_nReruns, 1);   // nothing left, no further re-run
}

TEST(FrameReaderBasics, OneOrTwoBytesAreLeftAlone)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    src.Arrive({0x00});
    reader.Step(src, sink);
    EXPECT_EQ(src.GetCount(), 1);
    src.Arrive({0x01});
    reader.Step(src, sink);
    EXPECT_EQ(src.GetCount(), 2);
    EXPECT_EQ(src.m_nReads, 0);
    EXPECT_TRUE(sink.m_frames.empty());
    EXPECT_EQ(sink.m_nReruns, 0);
    src.Arrive({0x00});
    reader.Step(src, sink);   // 00 01 00 completes a 3-byte acknowledgement
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], (Bytes{0x00, 0x01, 0x00}));
}

TEST(FrameReaderBasics, EmptyBodyFrameIsDeliveredAtOnce)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    src.Arrive({0x00, 0x01, 0x00});
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0].size(), 3u);
    EXPECT_TRUE(RfIsAckLength(3));
}

TEST(FrameReaderBasics, HeaderThenBodyInLaterSteps)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    const Bytes frame = Frame(0x20, 0x55);
    src.Arrive(Bytes(frame.begin(), frame.begin() + 3));
    reader.Step(src, sink);
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_BODY);
    EXPECT_EQ(reader.GetNeed(), 32);
    EXPECT_EQ(src.GetCount(), 0);
    EXPECT_EQ(sink.m_nReruns, 0);

    src.Arrive(Bytes(frame.begin() + 3, frame.begin() + 3 + 31));
    const int32_t nReads = src.m_nReads;
    reader.Step(src, sink);   // 31 of 32: nothing consumed
    EXPECT_EQ(src.GetCount(), 31);
    EXPECT_EQ(src.m_nReads, nReads);
    EXPECT_TRUE(sink.m_frames.empty());
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_BODY);

    src.Arrive(Bytes(frame.end() - 1, frame.end()));
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], frame);
    EXPECT_EQ(sink.m_frames[0].size(), 35u);
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_HEADER);
    EXPECT_EQ(reader.GetNeed(), 3);
}

TEST(FrameReaderBasics, LargestFrameAndItsPayload)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    const Bytes frame = Frame(255, 0x00);
    src.Arrive(frame);
    src.Arrive(Frame(4));   // a neighbour that must not bleed into it
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    ASSERT_EQ(sink.m_frames[0].size(), 258u);
    EXPECT_EQ(sink.m_frames[0], frame);
    EXPECT_EQ(RfPayloadLength(258), 241);
    EXPECT_EQ(sink.m_frames[0][RF_PAYLOAD_OFFSET], frame[10]);
    EXPECT_EQ(sink.m_frames[0][RF_PAYLOAD_OFFSET + 240], frame[250]);
    EXPECT_EQ(sink.m_nReruns, 1);
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 2u);
    EXPECT_EQ(sink.m_frames[1], Frame(4));
}

TEST(FrameReaderBasics, FramesAreHandedOverInPlaceFromOneBuffer)
{
    CLoop loop;
    loop.Arrive(Cat({Frame(20), Frame(200), Frame(7)}));
    ASSERT_EQ(loop.m_sink.m_frames.size(), 3u);
    const uint8_t* pFirst = loop.m_sink.m_pLastPtr;
    loop.Arrive(Frame(9));
    EXPECT_EQ(loop.m_sink.m_pLastPtr, pFirst);
}

TEST(FrameReaderResync, NoiseIsNeverAFrame)
{
    // Six bytes of noise while an acknowledgement is awaited must not pass
    // for one.
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    src.Arrive({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    reader.Step(src, sink);
    reader.Step(src, sink);
    reader.Step(src, sink);
    EXPECT_TRUE(sink.m_frames.empty());
    EXPECT_EQ(reader.GetDroppedBytes(), 6u);
    EXPECT_EQ(src.GetCount(), 0);
    EXPECT_EQ(reader.GetState(), RF_RX_AWAIT_HEADER);
}

TEST(FrameReaderResync, GarbageBeforeAFrameIsCountedAndTheFrameDelivered)
{
    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    const Bytes ack = {0x00, 0x01, 0x04, 0x01, 0x01, 0xFA, 0x04};
    src.Arrive(Cat({{0x13, 0x37, 0xFF, 0x01, 0x00}, ack}));
    reader.Step(src, sink);
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], ack);
    EXPECT_EQ(reader.GetDroppedBytes(), 5u);
}

TEST(FrameReaderResync, MisalignedStreamRecoversEveryLaterFrame)
{
    // A stream joined in the middle of a frame: the tail of that frame is
    // dropped, every frame after it comes out whole.
    const Bytes cut = Frame(40, 0x90);
    std::vector<Bytes> frames;
    for (int i = 0; i < 6; ++i)
        frames.push_back(Frame(10 + 17 * i, static_cast<uint8_t>(0x20 + i)));
    CLoop loop;
    Bytes stream(cut.begin() + 5, cut.end());
    for (const Bytes& f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    loop.Arrive(stream);
    EXPECT_EQ(loop.m_sink.m_frames, frames);
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), cut.size() - 5);
}

TEST(FrameReaderResync, SyncPairAtTheEndOfAnArrivalIsKept)
{
    // The ring has no peek: a 00 read while hunting must still count as the
    // first sync byte when the 01 comes in the next arrival.
    CLoop loop;
    loop.Arrive({0xAA, 0xBB, 0x00});
    EXPECT_TRUE(loop.m_sink.m_frames.empty());
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), 2u);
    EXPECT_EQ(loop.m_reader.GetHeldBytes(), 1);
    loop.Arrive({0x01});
    loop.Arrive({0x03, 0x7A, 0x7B, 0x7C});
    ASSERT_EQ(loop.m_sink.m_frames.size(), 1u);
    EXPECT_EQ(loop.m_sink.m_frames[0], (Bytes{0x00, 0x01, 0x03, 0x7A, 0x7B, 0x7C}));
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), 2u);
}

TEST(FrameReaderResync, DoubledFirstSyncByte)
{
    CLoop loop;
    loop.Arrive(Cat({{0x00}, Frame(5)}));   // 00 00 01 05 ...
    ASSERT_EQ(loop.m_sink.m_frames.size(), 1u);
    EXPECT_EQ(loop.m_sink.m_frames[0], Frame(5));
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), 1u);
}

TEST(FrameReaderResync, LongGarbageRunIsBoundedPerStepAndStillWorkedOff)
{
    const Bytes frame = Frame(12, 0x30);
    Bytes stream(5000, 0xA5);
    stream.insert(stream.end(), frame.begin(), frame.end());

    CFrameReader reader;
    CQueueByteSource src;
    CRecSink sink;
    src.Arrive(stream);
    reader.Step(src, sink);
    EXPECT_TRUE(sink.m_frames.empty());
    EXPECT_GT(reader.GetDroppedBytes(), 0u);
    EXPECT_LE(reader.GetDroppedBytes(), static_cast<uint64_t>(RF_RESYNC_MAX_DROP_PER_STEP));
    EXPECT_EQ(sink.m_nReruns, 1);   // more to do: the loop must come back

    int32_t nSteps = 1;
    while (sink.m_nReruns >= nSteps && nSteps < 1000) {
        reader.Step(src, sink);
        ++nSteps;
    }
    ASSERT_EQ(sink.m_frames.size(), 1u);
    EXPECT_EQ(sink.m_frames[0], frame);
    EXPECT_EQ(reader.GetDroppedBytes(), 5000u);
    EXPECT_EQ(src.GetCount(), 0);
}

// Every round runs three times: with a source that cannot show its bytes,
// one that shows a random part of them in one piece (the ring's end falls
// anywhere, frames and noise split across it) and one that shows them all.
TEST(FrameReaderResync, NoStallWhateverTheArrivalPattern)
{
    // Frames mixed with noise, cut into arrivals of random size; each arrival
    // posts one step, each re-run request another. Every frame must come out
    // in order and every noise byte be counted, with no step left wanting.
    std::mt19937 rng(20240607);
    int32_t nInPlace = 0;
    for (int nRound = 0; nRound < 600; ++nRound) {
        const int nMode = nRound % 3;
        std::vector<Bytes> frames;
        Bytes stream;
        uint64_t qwNoise = 0;
        const int nFrames = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < nFrames; ++i) {
            if (rng() % 3 == 0) {
                const int nGarbage = 1 + static_cast<int>(rng() % 40);
                for (int g = 0; g < nGarbage; ++g)
                    stream.push_back(static_cast<uint8_t>(0x02 + rng() % 0xFE));   // never 00 or 01
                qwNoise += static_cast<uint64_t>(nGarbage);
            }
            const Bytes f = Frame(static_cast<int32_t>(rng() % 256), static_cast<uint8_t>(rng()));
            frames.push_back(f);
            stream.insert(stream.end(), f.begin(), f.end());
        }
        CLoop loop;
        loop.m_src.m_nShowMax = nMode == 0 ? 0 : nMode == 1 ? 1 + static_cast<int32_t>(rng() % 300) : 1 << 20;
        size_t nPos = 0;
        while (nPos < stream.size()) {
            const size_t nChunk = 1 + rng() % (rng() % 2 ? 4 : 300);
            const size_t nEnd = std::min(stream.size(), nPos + nChunk);
            loop.Arrive(Bytes(stream.begin() + static_cast<long>(nPos), stream.begin() + static_cast<long>(nEnd)));
            nPos = nEnd;
        }
        ASSERT_EQ(loop.m_sink.m_frames, frames) << "round " << nRound;
        ASSERT_EQ(loop.m_reader.GetDroppedBytes(), qwNoise) << "round " << nRound;
        ASSERT_EQ(loop.m_src.GetCount(), 0) << "round " << nRound;
        ASSERT_EQ(loop.m_reader.GetHeldBytes(), 0);
        nInPlace += loop.m_src.m_nSkips;
    }
    EXPECT_GT(nInPlace, 300);   // the in-place path was taken, often
}

// A frame that lies whole in what the source shows goes to the sink where it
// lies, nothing read; one cut by the end of that piece is read and delivered
// whole, and so is one behind noise.
TEST(FrameReaderSource, WholeFramesShownInOnePieceAreDeliveredInPlace)
{
    CLoop loop;
    const Bytes a = Frame(20, 0x10), b = Frame(40, 0x50), c = Frame(5, 0x90);
    loop.m_src.m_nShowMax = static_cast<int32_t>(a.size() + 10);   // a whole, b cut
    loop.Arrive(Cat({a, b, {0x33, 0x44}, c}));
    ASSERT_EQ(loop.m_sink.m_frames.size(), 3u);
    EXPECT_EQ(loop.m_sink.m_frames[0], a);
    EXPECT_EQ(loop.m_sink.m_frames[1], b);
    EXPECT_EQ(loop.m_sink.m_frames[2], c);
    EXPECT_EQ(loop.m_src.m_nSkips, 1);   // a in place; b read; c read after the resync
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), 2u);
    EXPECT_EQ(loop.m_src.GetCount(), 0);

    CLoop whole;
    whole.m_src.m_nShowMax = 1 << 20;
    whole.Arrive(Cat({a, b}));
    ASSERT_EQ(whole.m_sink.m_frames.size(), 2u);
    EXPECT_EQ(whole.m_src.m_nReads, 0);
    EXPECT_EQ(whole.m_src.m_nSkips, 2);
    EXPECT_EQ(whole.m_sink.m_pLastPtr, whole.m_src.m_vShown.data());
    EXPECT_EQ(whole.m_sink.m_frames[1], b);
}

TEST(FrameReaderSource, ShortReadsLoseNoBytes)
{
    // A source that hands back less than it reported waiting: whatever it did
    // hand back stays in the frame.
    CLoop loop;
    loop.m_src.m_nMaxPerRead = 2;
    const Bytes a = Frame(50, 0x11), b = Frame(3, 0x77), c = Frame(120, 0x05);
    loop.Arrive(Cat({a, b, c}));
    ASSERT_EQ(loop.m_sink.m_frames.size(), 3u);
    EXPECT_EQ(loop.m_sink.m_frames[0], a);
    EXPECT_EQ(loop.m_sink.m_frames[1], b);
    EXPECT_EQ(loop.m_sink.m_frames[2], c);
    EXPECT_EQ(loop.m_reader.GetDroppedBytes(), 0u);
}

TEST(FrameReaderSource, ResetForgetsAPartialFrame)
{
    CLoop loop;
    const Bytes big = Frame(100);
    loop.Arrive(Bytes(big.begin(), big.begin() + 40));
    EXPECT_EQ(loop.m_reader.GetState(), 2);
    loop.m_reader.Reset();
    loop.m_src.m_q.clear();
    EXPECT_EQ(loop.m_reader.GetState(), 1);
    EXPECT_EQ(loop.m_reader.GetNeed(), 3);
    loop.Arrive(Frame(4));
    ASSERT_EQ(loop.m_sink.m_frames.size(), 1u);
    EXPECT_EQ(loop.m_sink.m_frames[0], Frame(4));
}
