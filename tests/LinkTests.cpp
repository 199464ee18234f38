// The link's life against the real relay server: the status road, reconnecting, resets, and
// audio from one instance to another.

#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "support/Frames.h"
#include "support/LoopbackPeer.h"
#include "support/TestServer.h"
#include "support/Wait.h"

#include <boost/asio.hpp>

using testing_support::LoopbackPeer;
using testing_support::TestServer;
using testing_support::waitUntil;

namespace
{
const juce::String connecting = juce::String (juce::CharPointer_UTF8 ("Connecting\xe2\x80\xa6"));

bool waitForStatus (TonviaProcessor& p, const juce::String& status)
{
    return waitUntil ([&] { return p.bridge.getStatus() == status; });
}

int unusedLoopbackPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor (ioc, { boost::asio::ip::make_address ("127.0.0.1"), 0 });
    return acceptor.local_endpoint().port();
}

struct Instance
{
    TonviaProcessor processor;

    Instance (const std::string& url, const juce::String& token, bool sender)
    {
        processor.bridge.signalingUrl = url;
        processor.sessionToken = token;
        processor.mode = sender ? 0 : 1;
        processor.prepareToPlay (48000.0, 512);
    }

    bool connect()
    {
        processor.toggleConnection();
        return waitForStatus (processor, "Connected");
    }
};

// Processes `input` through the sender block by block and collects what the receiver plays
// once it has started (the receiver's first blocks are silent until a whole block arrived).
juce::AudioBuffer<float> streamThrough (Instance& sender, Instance& receiver, const juce::AudioBuffer<float>& input, int block)
{
    const int channels = input.getNumChannels();
    juce::AudioBuffer<float> played (channels, input.getNumSamples());
    played.clear();
    juce::MidiBuffer midi;
    int writeAt = 0;

    auto pull = [&]
    {
        juce::AudioBuffer<float> out (channels, block);
        out.clear();
        const int before = receiver.processor.bridge.readPos.load();
        receiver.processor.processBlock (out, midi);

        // Only blocks that came out of the ring count; an underrun is a delay, not audio.
        if (receiver.processor.bridge.readPos.load() != before)
        {
            const int n = std::min (block, played.getNumSamples() - writeAt);

            for (int c = 0; c < channels && n > 0; ++c)
                played.copyFrom (c, writeAt, out, c, 0, n);

            writeAt += std::max (n, 0);
        }
    };

    for (int start = 0; start < input.getNumSamples(); start += block)
    {
        juce::AudioBuffer<float> work (channels, block);

        for (int c = 0; c < channels; ++c)
            work.copyFrom (c, 0, input, c, start, block);

        sender.processor.processBlock (work, midi);
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
        pull();
    }

    // Drain what is still on its way.
    for (int tries = 0; writeAt < input.getNumSamples() && tries < 2000; ++tries)
    {
        if (receiver.processor.bridge.heldSamples() >= block * (channels == 1 ? 1 : 2))
            pull();
        else
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    return played;
}
} // namespace

TEST (LinkStatus, ConnectingConnectedDisconnected)
{
    TestServer server;
    Instance a (server.url(), "room", true);

    a.processor.toggleConnection();
    const auto first = a.processor.bridge.getStatus();
    EXPECT_TRUE (first == connecting || first == "Connected" || first.startsWith ("Connected (")) << first;
    ASSERT_TRUE (waitForStatus (a.processor, "Connected"));
    EXPECT_TRUE (a.processor.bridge.connected.load());

    a.processor.toggleConnection();   // the button reads "Disconnect" now
    EXPECT_EQ (juce::String ("Disconnected"), a.processor.bridge.getStatus());
    EXPECT_FALSE (a.processor.bridge.connected.load());
}

TEST (LinkStatus, ErrorWithTheReasonWhenNothingListens)
{
    Instance a ("ws://127.0.0.1:" + std::to_string (unusedLoopbackPort()), "room", true);
    a.processor.toggleConnection();
    ASSERT_TRUE (waitUntil ([&] { return a.processor.bridge.getStatus().startsWith ("Error: "); }));
    EXPECT_TRUE (a.processor.bridge.getStatus().containsIgnoreCase ("refused")) << a.processor.bridge.getStatus();
    EXPECT_FALSE (a.processor.bridge.connected.load());

    // No second attempt of its own.
    std::this_thread::sleep_for (std::chrono::milliseconds (100));
    EXPECT_TRUE (a.processor.bridge.getStatus().startsWith ("Error: "));
}

TEST (LinkStatus, EmptyTokenDoesNothing)
{
    LoopbackPeer peer;
    Instance a (peer.url(), "", true);
    a.processor.bridge.setStatus ("as before");
    a.processor.toggleConnection();
    std::this_thread::sleep_for (std::chrono::milliseconds (100));
    EXPECT_EQ (juce::String ("as before"), a.processor.bridge.getStatus());
    EXPECT_FALSE (a.processor.bridge.connected.load());
    EXPECT_EQ (0, peer.connectionCount());
}

TEST (LinkStatus, ConnectAgainBeforeTheOpenEventOnlyTheSecondJoins)
{
    // A listener that accepts TCP but holds the handshake: the first attempt never opens.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor silent (ioc, { boost::asio::ip::make_address ("127.0.0.1"), 0 });
    Instance a ("ws://127.0.0.1:" + std::to_string (silent.local_endpoint().port()), "room", true);
    a.processor.toggleConnection();
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    EXPECT_EQ (connecting, a.processor.bridge.getStatus());

    LoopbackPeer peer;
    a.processor.bridge.signalingUrl = peer.url();
    a.processor.toggleConnection();   // not connected yet, so this connects anew
    ASSERT_TRUE (waitForStatus (a.processor, "Connected"));
    ASSERT_TRUE (peer.waitForMessages (2));
    EXPECT_EQ (1, peer.connectionCount());
}

TEST (LinkStatus, ConnectsAnewAfterTheServerClosed)
{
    LoopbackPeer peer;
    Instance a (peer.url(), "room", true);
    ASSERT_TRUE (a.connect());
    ASSERT_TRUE (peer.waitForMessages (2));   // the peer has the connection in hand
    a.processor.bridge.handleTextMessage (R"({"type":"stream","name":"x","streamId":3})");

    peer.close (1001, "going away");
    ASSERT_TRUE (waitForStatus (a.processor, "Disconnected"));
    EXPECT_FALSE (a.processor.bridge.connected.load());
    EXPECT_EQ (1u, a.processor.bridge.getRemoteStreams().size());   // kept until the next connect

    ASSERT_TRUE (a.connect());
    EXPECT_EQ (2, peer.connectionCount());
    EXPECT_TRUE (a.processor.bridge.getRemoteStreams().empty());
}

TEST (LinkStatus, DisconnectResetsRingListAndSelection)
{
    TestServer server;
    Instance a (server.url(), "room", false);
    ASSERT_TRUE (a.connect());

    a.processor.bridge.handleTextMessage (R"({"type":"stream","name":"x","streamId":7})");
    a.processor.chooseRemoteStream (7);
    a.processor.bridge.handleBinaryFrame (testing_support::makeFrame (7, 2, 8, testing_support::counting (16)));
    ASSERT_EQ (16, a.processor.bridge.heldSamples());

    a.processor.toggleConnection();
    EXPECT_EQ (juce::String ("Disconnected"), a.processor.bridge.getStatus());
    EXPECT_EQ (0, a.processor.bridge.heldSamples());
    EXPECT_EQ (0.0f, a.processor.bridge.ring[0]);
    EXPECT_TRUE (a.processor.bridge.getRemoteStreams().empty());
    EXPECT_EQ (0, a.processor.bridge.selectedStreamId.load());
}

//==============================================================================
TEST (Streaming, SenderToReceiverBitExactThroughTheRelay)
{
    for (const int channels : { 2, 1 })
    {
        TestServer server;
        Instance receiver (server.url(), "session-1", false);
        Instance sender (server.url(), "session-1", true);
        ASSERT_TRUE (receiver.connect());
        ASSERT_TRUE (sender.connect());

        // The receiver hears of the sender's stream and chooses it.
        ASSERT_TRUE (waitUntil ([&] { return ! receiver.processor.bridge.getRemoteStreams().empty(); }));
        const auto stream = receiver.processor.bridge.getRemoteStreams().front();
        EXPECT_EQ (38848, stream.streamId);
        EXPECT_TRUE (stream.isSender);
        receiver.processor.chooseRemoteStream (stream.streamId);

        const int block = 480;
        juce::AudioBuffer<float> input (channels, block * 100);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < input.getNumSamples(); ++i)
                input.setSample (c, i, (float) std::sin (0.01 * i * (c + 1)) * 0.5f + (float) i * 1.0e-7f);

        const auto played = streamThrough (sender, receiver, input, block);

        for (int c = 0; c < channels; ++c)
            ASSERT_EQ (0, std::memcmp (input.getReadPointer (c), played.getReadPointer (c), sizeof (float) * (size_t) input.getNumSamples()))
                << channels << " channels, channel " << c;
    }
}

TEST (Streaming, RoomsAreSeparate)
{
    TestServer server;
    Instance receiver (server.url(), "room-a", false);
    Instance sender (server.url(), "room-b", true);
    ASSERT_TRUE (receiver.connect());
    ASSERT_TRUE (sender.connect());

    juce::AudioBuffer<float> block (2, 512);
    block.clear();
    juce::MidiBuffer midi;

    for (int i = 0; i < 20; ++i)
        sender.processor.processBlock (block, midi);

    std::this_thread::sleep_for (std::chrono::milliseconds (200));
    EXPECT_EQ (0, receiver.processor.bridge.heldSamples());
    EXPECT_TRUE (receiver.processor.bridge.getRemoteStreams().empty());
}
