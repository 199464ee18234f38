// The receive side of the link: frame checks, the ring's write rules, pullAudio's read rules,
// and a real producer/consumer pair.

#include <gtest/gtest.h>

#include "WebRTCBridge.h"
#include "support/Frames.h"

#include <thread>

using testing_support::counting;
using testing_support::makeFrame;

namespace
{
float ringAt (const WebRTCBridge& b, int index) { return b.ring[(size_t) index]; }
} // namespace

TEST (BridgeState, FreshLinkHasItsDefaults)
{
    WebRTCBridge b;
    EXPECT_FALSE (b.connected.load());
    EXPECT_TRUE (b.isSender.load());
    EXPECT_EQ (juce::String ("Disconnected"), b.getStatus());
    EXPECT_EQ (192000, b.ringCapacity);
    EXPECT_EQ ((size_t) 192000, b.ring.size());
    EXPECT_EQ (0, b.heldSamples());
    EXPECT_TRUE (b.getRemoteStreams().empty());
    EXPECT_EQ (0, b.selectedStreamId.load());
    EXPECT_EQ (38848, b.localStreamId.load());
    EXPECT_EQ (juce::String ("Stream"), b.localStreamName);
    EXPECT_EQ (juce::String (TONVIA_DEFAULT_SIGNALING_URL), b.signalingUrl);
}

TEST (BridgeState, StreamIdIsTheUnsignedHashModulo42356)
{
    EXPECT_EQ (38848, WebRTCBridge::streamIdForName ("Stream"));
    EXPECT_EQ (0, WebRTCBridge::streamIdForName (""));
    EXPECT_EQ ((int) ('A' % 42356), WebRTCBridge::streamIdForName ("A"));

    // A name whose hash has the top bit set must still reduce as unsigned.
    const juce::String longName ("Vocals");
    const auto h = (juce::uint32) longName.hashCode();
    ASSERT_GE (h, 0x80000000u);
    EXPECT_EQ ((int) (h % 42356u), WebRTCBridge::streamIdForName (longName));
}

TEST (BridgeState, DisconnectOnANeverConnectedLinkResetsEverything)
{
    WebRTCBridge b;
    b.handleBinaryFrame (makeFrame (1, 1, 4, counting (4)));
    b.handleTextMessage (R"({"type":"stream","name":"Guitar","streamId":7,"direction":"send"})");
    b.selectedStreamId = 7;
    b.setStatus ("something else");

    b.disconnect();
    b.disconnect();   // twice is harmless

    EXPECT_EQ (juce::String ("Disconnected"), b.getStatus());
    EXPECT_FALSE (b.connected.load());
    EXPECT_EQ (0, b.readPos.load());
    EXPECT_EQ (0, b.writePos.load());
    EXPECT_EQ (0.0f, ringAt (b, 0));
    EXPECT_TRUE (b.getRemoteStreams().empty());
    EXPECT_EQ (0, b.selectedStreamId.load());
}

//==============================================================================
TEST (FrameAcceptance, ChecksAndFilters)
{
    struct Case
    {
        const char* what;
        std::string frame;
        int selected;
        int expectedWritePos;
    };

    const auto stereo512 = makeFrame (9, 2, 512, counting (1024));
    const Case cases[] = {
        { "stereo 512 into an empty ring", stereo512, 0, 1024 },
        { "header only, zero counts", makeFrame (5, 0, 0, {}), 0, 0 },
        { "zero channels with samples and no payload", makeFrame (5, 0, 100, {}), 0, 0 },
        { "eleven bytes", stereo512.substr (0, 11), 0, 0 },
        { "one byte short", stereo512.substr (0, stereo512.size() - 1), 0, 0 },
        { "one byte long", stereo512 + 'x', 0, 0 },
        { "wrong magic", "XNVA" + stereo512.substr (4), 0, 0 },
        { "other stream while one is selected", makeFrame (7, 1, 4, counting (4)), 38848, 0 },
        { "selected stream", makeFrame (38848, 1, 4, counting (4)), 38848, 4 },
        { "any stream while none is selected", makeFrame (7, 1, 4, counting (4)), 0, 4 },
        { "absurd counts in a short message", makeFrame (1, 0xffff, 0xffff, counting (8)).substr (0, 44), 0, 0 },
    };

    for (const auto& c : cases)
    {
        WebRTCBridge b;
        b.selectedStreamId = c.selected;
        b.handleBinaryFrame (c.frame);
        EXPECT_EQ (c.expectedWritePos, b.writePos.load()) << c.what;
        EXPECT_EQ (0, b.readPos.load()) << c.what;
    }
}

TEST (FrameAcceptance, EveryShortLengthIsDropped)
{
    const auto frame = makeFrame (3, 2, 16, counting (32));

    for (size_t n = 0; n < frame.size(); ++n)
    {
        WebRTCBridge b;
        b.handleBinaryFrame (frame.substr (0, n));
        EXPECT_EQ (0, b.writePos.load()) << n << " bytes";
    }
}

TEST (FrameAcceptance, RingWriteRules)
{
    struct Case
    {
        const char* what;
        int readPos, writePos, floats;
        int expectedWritePos, expectedStored;
    };

    const Case cases[] = {
        { "wraps: 100 at the end, 200 at the start", 500, 191900, 300, 200, 300 },
        { "one slot stays free", 110, 100, 100, 109, 9 },
        { "full ring accepts nothing", 0, 191999, 10, 191999, 0 },
        { "full ring across the wrap", 5000, 4999, 64, 4999, 0 },
        { "fills up to one free slot", 0, 0, 191999 - 1, 191998, 191998 },
        { "ends exactly at the storage end", 10, 191000, 1000, 0, 1000 },
    };

    for (const auto& c : cases)
    {
        WebRTCBridge b;
        b.readPos = c.readPos;
        b.writePos = c.writePos;
        // Mono frames carry `floats` samples; keep each under the 16-bit sample count.
        const auto values = counting (c.floats);
        int written = 0;

        for (int offset = 0; offset < c.floats; offset += 65535)
        {
            const int n = std::min (65535, c.floats - offset);
            const std::vector<float> part (values.begin() + offset, values.begin() + offset + n);
            const int before = b.writePos.load();
            b.handleBinaryFrame (makeFrame (1, 1, n, part));
            const int after = b.writePos.load();
            written += after >= before ? after - before : after + b.ringCapacity - before;
        }

        EXPECT_EQ (c.expectedWritePos, b.writePos.load()) << c.what;
        EXPECT_EQ (c.expectedStored, written) << c.what;

        // The stored samples are the frame's first ones, in order, from the old write position.
        for (int i = 0; i < c.expectedStored; i += std::max (1, c.expectedStored / 50))
            EXPECT_EQ ((float) (i + 1), ringAt (b, (c.writePos + i) % b.ringCapacity)) << c.what << " at " << i;
    }
}

TEST (FrameAcceptance, NeverHoldsMoreThanCapacityMinusOne)
{
    WebRTCBridge b;
    const auto frame = makeFrame (1, 2, 4096, counting (8192));

    for (int i = 0; i < 40; ++i)
        b.handleBinaryFrame (frame);

    EXPECT_EQ (191999, b.heldSamples());
}

//==============================================================================
TEST (PullAudio, UnderrunLeavesOutputsAndRingAlone)
{
    WebRTCBridge b;
    b.handleBinaryFrame (makeFrame (1, 2, 100, counting (200)));

    std::vector<float> left (128, -5.0f), right (128, -5.0f);
    float* outs[] = { left.data(), right.data() };

    EXPECT_FALSE (b.pullAudio (outs, 2, 128));
    EXPECT_EQ (0, b.readPos.load());
    EXPECT_EQ (-5.0f, left[0]);

    // More arrives: the next block plays from where the samples began.
    b.handleBinaryFrame (makeFrame (1, 2, 100, counting (200, 201)));
    ASSERT_TRUE (b.pullAudio (outs, 2, 128));
    EXPECT_EQ (1.0f, left[0]);
    EXPECT_EQ (2.0f, right[0]);
    EXPECT_EQ (255.0f, left[127]);
    EXPECT_EQ (256.0f, right[127]);
    EXPECT_EQ (256, b.readPos.load());
}

TEST (PullAudio, ReadsAcrossTheWrapAndEmptiesTheRing)
{
    // Start positions that put the wrap between pairs, inside a pair, or nowhere.
    for (const int startFromEnd : { 100, 101, 1, 2, 192000 })
    {
        for (const int channels : { 1, 2 })
        {
            WebRTCBridge b;
            const int start = b.ringCapacity - startFromEnd;
            b.readPos = start;
            b.writePos = start;
            b.handleBinaryFrame (makeFrame (1, channels, 128, counting (128 * channels)));
            ASSERT_EQ ((start + 128 * channels) % b.ringCapacity, b.writePos.load());

            std::vector<float> left (128), right (128);
            float* outs[] = { left.data(), right.data() };
            ASSERT_TRUE (b.pullAudio (outs, channels, 128));

            for (int i = 0; i < 128; ++i)
            {
                ASSERT_EQ ((float) (channels * i + 1), left[(size_t) i]) << startFromEnd << " " << channels;

                if (channels == 2)
                    ASSERT_EQ ((float) (2 * i + 2), right[(size_t) i]) << startFromEnd;
            }

            EXPECT_EQ (b.writePos.load(), b.readPos.load());
        }
    }
}

TEST (PullAudio, ChannelCountsAreNotConverted)
{
    {   // mono frames into a stereo block: samples alternate left and right
        WebRTCBridge b;
        b.handleBinaryFrame (makeFrame (1, 1, 8, counting (8)));
        std::vector<float> left (4), right (4);
        float* outs[] = { left.data(), right.data() };
        ASSERT_TRUE (b.pullAudio (outs, 2, 4));
        EXPECT_EQ ((std::vector<float> { 1, 3, 5, 7 }), left);
        EXPECT_EQ ((std::vector<float> { 2, 4, 6, 8 }), right);
    }
    {   // stereo frames into a mono block: n samples in arrival order
        WebRTCBridge b;
        b.handleBinaryFrame (makeFrame (1, 2, 4, counting (8)));
        std::vector<float> mono (4);
        float* outs[] = { mono.data() };
        ASSERT_TRUE (b.pullAudio (outs, 1, 4));
        EXPECT_EQ ((std::vector<float> { 1, 2, 3, 4 }), mono);
        EXPECT_EQ (4, b.readPos.load());
    }
    {   // four output channels: two filled, the rest zeroed
        WebRTCBridge b;
        b.handleBinaryFrame (makeFrame (1, 2, 2, counting (4)));
        std::vector<std::vector<float>> chans (4, std::vector<float> (2, 9.0f));
        float* outs[] = { chans[0].data(), chans[1].data(), chans[2].data(), chans[3].data() };
        ASSERT_TRUE (b.pullAudio (outs, 4, 2));
        EXPECT_EQ ((std::vector<float> { 1, 3 }), chans[0]);
        EXPECT_EQ ((std::vector<float> { 2, 4 }), chans[1]);
        EXPECT_EQ ((std::vector<float> { 0, 0 }), chans[2]);
        EXPECT_EQ ((std::vector<float> { 0, 0 }), chans[3]);
    }
}

TEST (PullAudio, ZeroSampleBlockConsumesNothing)
{
    WebRTCBridge b;
    b.handleBinaryFrame (makeFrame (1, 2, 4, counting (8)));
    float* outs[] = { nullptr, nullptr };
    EXPECT_TRUE (b.pullAudio (outs, 2, 0));
    EXPECT_EQ (0, b.readPos.load());
}

TEST (PullAudio, StreamChoiceEmptiesTheRing)
{
    WebRTCBridge b;
    b.handleBinaryFrame (makeFrame (1, 2, 64, counting (128)));
    b.selectStream (7);
    EXPECT_EQ (7, b.selectedStreamId.load());
    EXPECT_EQ (0, b.heldSamples());
    EXPECT_EQ (0, b.readPos.load());
}

//==============================================================================
// The socket thread writes frames while the audio thread reads blocks: every sample arrives
// once and in order (when the reader keeps up the writer never has to drop).
TEST (RingStress, EverySampleArrivesOnceAndInOrder)
{
    WebRTCBridge b;
    constexpr int frames = 20000;
    constexpr int samplesPerFrame = 96;   // stereo frames of 48 sample pairs
    constexpr int blockSamples = 64;      // the reader takes 32 stereo samples at a time
    std::atomic<bool> done { false };
    std::atomic<long> dropped { 0 };

    std::thread writer ([&]
    {
        std::string frame = makeFrame (1, 2, samplesPerFrame / 2, counting (samplesPerFrame));
        float next = 0.0f;

        for (int f = 0; f < frames; ++f)
        {
            // Wait for room, so that nothing is dropped and order can be checked exactly.
            while (b.ringCapacity - 1 - b.heldSamples() < samplesPerFrame)
                std::this_thread::yield();

            for (int i = 0; i < samplesPerFrame; ++i)
            {
                const float v = next++;
                std::memcpy (frame.data() + 12 + 4 * i, &v, 4);
            }

            const int before = b.writePos.load();
            b.handleBinaryFrame (frame);
            const int after = b.writePos.load();
            const int stored = after >= before ? after - before : after + b.ringCapacity - before;
            dropped += samplesPerFrame - stored;
        }

        done = true;
    });

    std::vector<float> left (blockSamples / 2), right (blockSamples / 2);
    float* outs[] = { left.data(), right.data() };
    float expected = 0.0f;
    long mismatches = 0;
    const long total = (long) frames * samplesPerFrame;

    while (expected < (float) total)
    {
        if (! b.pullAudio (outs, 2, blockSamples / 2))
        {
            if (done && b.heldSamples() < blockSamples)
                break;

            std::this_thread::yield();
            continue;
        }

        for (size_t i = 0; i < left.size(); ++i)
        {
            mismatches += left[i] != expected++;
            mismatches += right[i] != expected++;
        }
    }

    writer.join();
    EXPECT_EQ (0, dropped.load());
    EXPECT_EQ (0, mismatches);
    EXPECT_EQ ((float) total, expected);
}
