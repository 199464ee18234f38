// The processor: defaults, host answers, the audio callback in both modes, the sample-rate
// warning, and the frames it sends to a loopback peer.

#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "support/Frames.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"

using testing_support::counting;
using testing_support::LoopbackPeer;
using testing_support::makeFrame;
using testing_support::waitUntil;

namespace
{
juce::AudioBuffer<float> countingBuffer (int channels, int samples)
{
    juce::AudioBuffer<float> buffer (channels, samples);

    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            buffer.setSample (c, i, (float) (c * 100000 + i + 1));

    return buffer;
}

bool sameContents (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
        return false;

    for (int c = 0; c < a.getNumChannels(); ++c)
        if (std::memcmp (a.getReadPointer (c), b.getReadPointer (c), sizeof (float) * (size_t) a.getNumSamples()) != 0)
            return false;

    return true;
}

bool allZero (const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < b.getNumChannels(); ++c)
        for (int i = 0; i < b.getNumSamples(); ++i)
            if (b.getSample (c, i) != 0.0f)
                return false;

    return true;
}

// A processor whose link is connected to a loopback peer in the given role.
struct ConnectedProcessor
{
    LoopbackPeer peer;
    TonviaProcessor processor;

    explicit ConnectedProcessor (bool asSender)
    {
        processor.bridge.signalingUrl = peer.url();
        processor.mode = asSender ? 0 : 1;
        processor.sessionToken = "room-1";
        processor.toggleConnection();
    }

    bool waitConnected() { return waitUntil ([this] { return processor.bridge.getStatus() == "Connected"; }); }
};
} // namespace

TEST (Processor, FreshInstanceDefaults)
{
    TonviaProcessor p;
    EXPECT_EQ (0, p.mode.load());
    EXPECT_TRUE (p.sessionToken.isEmpty());
    EXPECT_TRUE (p.authToken.isEmpty());
    EXPECT_EQ (juce::String (TONVIA_DEFAULT_API_URL), p.apiBaseUrl);
    EXPECT_EQ (juce::String ("Disconnected"), p.bridge.getStatus());
    EXPECT_EQ (38848, p.bridge.localStreamId.load());

    TonviaProcessor other;
    EXPECT_EQ (p.bridge.localStreamId.load(), other.bridge.localStreamId.load());
}

TEST (Processor, HostAnswers)
{
    TonviaProcessor p;
    EXPECT_EQ (juce::String ("Tonvia"), p.getName());
    EXPECT_FALSE (p.acceptsMidi());
    EXPECT_FALSE (p.producesMidi());
    EXPECT_FALSE (p.isMidiEffect());
    EXPECT_EQ (0.0, p.getTailLengthSeconds());
    EXPECT_TRUE (p.hasEditor());
    EXPECT_EQ (1, p.getNumPrograms());
    p.setCurrentProgram (3);
    EXPECT_EQ (0, p.getCurrentProgram());
    EXPECT_TRUE (p.getProgramName (0).isEmpty());
    EXPECT_TRUE (p.getProgramName (7).isEmpty());
    EXPECT_TRUE (p.getParameters().isEmpty());

    ASSERT_EQ (1, p.getBusCount (true));
    ASSERT_EQ (1, p.getBusCount (false));
    EXPECT_EQ (juce::String ("Input"), p.getBus (true, 0)->getName());
    EXPECT_EQ (juce::String ("Output"), p.getBus (false, 0)->getName());
    EXPECT_EQ (juce::AudioChannelSet::stereo(), p.getBus (true, 0)->getDefaultLayout());
    EXPECT_TRUE (p.getBus (false, 0)->isEnabledByDefault());
}

TEST (Processor, LayoutTable)
{
    using Set = juce::AudioChannelSet;
    struct Case { const char* what; Set in, out; bool accepted; };
    const Case cases[] = {
        { "mono -> mono", Set::mono(), Set::mono(), true },
        { "stereo -> stereo", Set::stereo(), Set::stereo(), true },
        { "mono -> stereo", Set::mono(), Set::stereo(), false },
        { "stereo -> mono", Set::stereo(), Set::mono(), false },
        { "5.1 -> 5.1", Set::create5point1(), Set::create5point1(), false },
        { "disabled input", Set::disabled(), Set::stereo(), false },
        { "disabled output", Set::stereo(), Set::disabled(), false },
        { "both disabled", Set::disabled(), Set::disabled(), false },
        { "discrete pair", Set::discreteChannels (2), Set::discreteChannels (2), false },
    };

    TonviaProcessor p;

    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (c.in);
        layout.outputBuses.add (c.out);
        EXPECT_EQ (c.accepted, p.checkBusesLayoutSupported (layout)) << c.what;
    }
}

TEST (Processor, SampleRateWarning)
{
    TonviaProcessor p;
    p.prepareToPlay (48000.0, 512);
    EXPECT_EQ (juce::String ("Disconnected"), p.bridge.getStatus());

    p.prepareToPlay (44100.0, 512);
    EXPECT_EQ (juce::String ("Warning: best at 48kHz (current 44100 Hz)"), p.bridge.getStatus());

    p.prepareToPlay (48000.0, 512);
    EXPECT_EQ (juce::String ("Warning: best at 48kHz (current 44100 Hz)"), p.bridge.getStatus());

    p.prepareToPlay (96000.0, 512);
    EXPECT_EQ (juce::String ("Warning: best at 48kHz (current 96000 Hz)"), p.bridge.getStatus());
}

//==============================================================================
TEST (ProcessBlock, SendModeWithoutConnectionPassesAudioThrough)
{
    TonviaProcessor p;
    juce::MidiBuffer midi;

    for (bool isSender : { true, false })
    {
        p.bridge.isSender = isSender;
        auto buffer = countingBuffer (2, 512);
        const auto original = buffer;
        p.processBlock (buffer, midi);
        EXPECT_TRUE (sameContents (original, buffer));
    }
}

TEST (ProcessBlock, ReceiveModeIsSilentUnlessConnectedAsReceiver)
{
    TonviaProcessor p;
    p.mode = 1;
    p.bridge.handleBinaryFrame (makeFrame (1, 2, 512, counting (1024)));
    juce::MidiBuffer midi;

    struct Case { bool connected, isSender; };

    for (const auto c : { Case { false, false }, Case { false, true }, Case { true, true } })
    {
        p.bridge.connected = c.connected;
        p.bridge.isSender = c.isSender;
        auto buffer = countingBuffer (2, 512);
        p.processBlock (buffer, midi);
        EXPECT_TRUE (allZero (buffer));
        EXPECT_EQ (0, p.bridge.readPos.load());   // pullAudio was not even called
    }

    p.bridge.connected = false;
}

TEST (ProcessBlock, ReceiveModePlaysWholeBlocksFromTheRing)
{
    TonviaProcessor p;
    p.mode = 1;
    p.bridge.connected = true;
    p.bridge.isSender = false;
    juce::MidiBuffer midi;

    p.bridge.handleBinaryFrame (makeFrame (1, 2, 300, counting (600)));

    auto buffer = countingBuffer (2, 512);
    p.processBlock (buffer, midi);
    EXPECT_TRUE (allZero (buffer));                 // underrun: silence, nothing consumed
    EXPECT_EQ (0, p.bridge.readPos.load());

    p.bridge.handleBinaryFrame (makeFrame (1, 2, 300, counting (600, 601)));
    p.processBlock (buffer, midi);
    EXPECT_EQ (1.0f, buffer.getSample (0, 0));
    EXPECT_EQ (2.0f, buffer.getSample (1, 0));
    EXPECT_EQ (1023.0f, buffer.getSample (0, 511));
    EXPECT_EQ (1024.0f, buffer.getSample (1, 511));

    juce::AudioBuffer<float> empty (2, 0);
    p.processBlock (empty, midi);
    EXPECT_EQ (1024, p.bridge.readPos.load());

    p.bridge.connected = false;
}

//==============================================================================
TEST (SendPath, FramesOnTheWireMatchTheBlock)
{
    ConnectedProcessor fixture (true);
    ASSERT_TRUE (fixture.waitConnected());
    ASSERT_TRUE (fixture.peer.waitForMessages (2));   // join and announcement
    auto& p = fixture.processor;
    juce::MidiBuffer midi;

    struct Case { int channels, samples; size_t expectedBytes; int wireChannels; };
    const Case cases[] = {
        { 2, 512, 4108, 2 },
        { 1, 256, 1036, 1 },
        { 4, 64, 12 + 4 * 2 * 64, 2 },   // only the first two channels travel
    };

    size_t expectedMessages = 2;

    for (const auto& c : cases)
    {
        auto buffer = countingBuffer (c.channels, c.samples);
        const auto original = buffer;
        p.processBlock (buffer, midi);
        EXPECT_TRUE (sameContents (original, buffer));

        ++expectedMessages;
        ASSERT_TRUE (fixture.peer.waitForMessages (expectedMessages));
        const auto frame = fixture.peer.messages().back();
        ASSERT_TRUE (frame.binary);
        ASSERT_EQ (c.expectedBytes, frame.data.size());

        const auto* bytes = reinterpret_cast<const std::uint8_t*> (frame.data.data());
        EXPECT_EQ (0, std::memcmp (bytes, "TNVA", 4));
        EXPECT_EQ (0xC0, bytes[4]);
        EXPECT_EQ (0x97, bytes[5]);
        EXPECT_EQ (0x00, bytes[6]);
        EXPECT_EQ (0x00, bytes[7]);
        EXPECT_EQ (c.wireChannels, bytes[8]);
        EXPECT_EQ (0, bytes[9]);
        EXPECT_EQ (c.samples & 0xff, bytes[10]);
        EXPECT_EQ (c.samples >> 8, bytes[11]);

        for (int i = 0; i < c.samples; ++i)
        {
            for (int ch = 0; ch < c.wireChannels; ++ch)
            {
                float value;
                std::memcpy (&value, bytes + 12 + 4 * (size_t) (i * c.wireChannels + ch), 4);
                ASSERT_EQ (original.getSample (ch, i), value) << "sample " << i << " channel " << ch;
            }
        }
    }

    // A block of no samples sends nothing.
    juce::AudioBuffer<float> empty (2, 0);
    p.processBlock (empty, midi);
    std::this_thread::sleep_for (std::chrono::milliseconds (30));
    EXPECT_EQ (expectedMessages, fixture.peer.messageCount());
}

TEST (SendPath, BlocksLongerThan65535SamplesTravelAsSeveralValidFrames)
{
    ConnectedProcessor fixture (true);
    ASSERT_TRUE (fixture.waitConnected());
    ASSERT_TRUE (fixture.peer.waitForMessages (2));
    juce::MidiBuffer midi;

    constexpr int samples = 65535 * 2 + 100;
    auto buffer = countingBuffer (2, samples);
    const auto original = buffer;
    fixture.processor.processBlock (buffer, midi);
    EXPECT_TRUE (sameContents (original, buffer));

    ASSERT_TRUE (fixture.peer.waitForMessages (5));
    const auto messages = fixture.peer.messages();
    ASSERT_EQ (5u, messages.size());

    // Feed the frames to a receiving link: every sample arrives, in order.
    WebRTCBridge receiver;
    const int expectedCounts[] = { 65535, 65535, 100 };

    for (int f = 0; f < 3; ++f)
    {
        const auto& m = messages[(size_t) f + 2];
        ASSERT_TRUE (m.binary);
        const auto header = tonvia::wire::parseFrame (reinterpret_cast<const std::uint8_t*> (m.data.data()), m.data.size());
        ASSERT_TRUE (header.has_value()) << "frame " << f;
        EXPECT_EQ (38848u, header->streamId);
        EXPECT_EQ (2, header->channels);
        EXPECT_EQ (expectedCounts[f], header->samples);
    }

    // 131170 stereo samples exceed the ring, so check the first two frames through it.
    for (int f = 0; f < 2; ++f)
    {
        receiver.handleBinaryFrame (messages[(size_t) f + 2].data);
        std::vector<float> left (65535), right (65535);
        float* outs[] = { left.data(), right.data() };
        ASSERT_TRUE (receiver.pullAudio (outs, 2, 65535));
        EXPECT_EQ (original.getSample (0, f * 65535), left.front());
        EXPECT_EQ (original.getSample (1, f * 65535 + 65534), right.back());
    }
}

TEST (SendPath, ConnectedInTheReceiveRoleSendModeSendsNothing)
{
    ConnectedProcessor fixture (false);
    ASSERT_TRUE (fixture.waitConnected());
    ASSERT_TRUE (fixture.peer.waitForMessages (2));
    fixture.processor.mode = 0;   // mode changed after connecting: the role stays "receive"

    juce::MidiBuffer midi;
    auto buffer = countingBuffer (2, 512);
    const auto original = buffer;
    fixture.processor.processBlock (buffer, midi);
    EXPECT_TRUE (sameContents (original, buffer));
    std::this_thread::sleep_for (std::chrono::milliseconds (30));
    EXPECT_EQ (2u, fixture.peer.messageCount());
}

TEST (Processor, DestroyingWhileConnectedClosesTheSocketNormally)
{
    LoopbackPeer peer;
    {
        TonviaProcessor p;
        p.bridge.signalingUrl = peer.url();
        p.sessionToken = "t";
        p.toggleConnection();
        ASSERT_TRUE (waitUntil ([&] { return p.bridge.connected.load(); }));
    }
    ASSERT_TRUE (peer.waitForClose());
    EXPECT_EQ (1000, peer.lastClose()->code);
    EXPECT_EQ ("Normal closure", peer.lastClose()->reason);
}
