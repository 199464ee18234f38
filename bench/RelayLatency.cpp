// One-way delay through the relay on loopback: from the moment a sender's block enters its
// audio callback to the moment the same samples have entered the receiver's ring, for every
// frame, with the sender and the receiver each running the plug-in's own code and the real
// tonvia-server code in between. Prints p50, p90, p99 and the maximum.
//
//   tonvia_bench_relay_latency [FRAMES] [BLOCK_MS]
//   FRAMES    how many 512-sample stereo frames (default 10000)
//   BLOCK_MS  time between blocks in milliseconds (default 2.0: faster than the 10.7 ms of
//             real time at 48 kHz, so the run is short; nothing queues at this rate)

#include <juce_events/juce_events.h>

#include "Log.h"
#include "PluginProcessor.h"
#include "Server.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace
{
using Clock = std::chrono::steady_clock;
}

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juce;
    const int frames = argc > 1 ? std::atoi (argv[1]) : 10000;
    const double blockMs = argc > 2 ? std::atof (argv[2]) : 2.0;
    constexpr int block = 512;

    tonvia::server::setLoggingEnabled (false);
    tonvia::server::ServerOptions options;
    options.port = 0;
    tonvia::server::Server server (options);
    server.start();
    const auto url = "ws://127.0.0.1:" + std::to_string (server.port());

    TonviaProcessor sender, receiver;
    std::vector<Clock::time_point> sentAt ((size_t) frames), arrivedAt ((size_t) frames);
    std::atomic<int> arrived { 0 };

    // The receiver is connected by hand so that every delivered frame can be timed the moment
    // the link has written it into the ring. The first sample of each frame is its index.
    auto& bridge = receiver.bridge;
    bridge.isSender = false;
    bridge.ws->joinMessage = R"({"type":"join","token":"bench","role":"receive"})";
    bridge.ws->socket.setUrl (url);
    bridge.ws->socket.setOnMessageCallback ([&] (const tonvia::WebSocketMessage& m)
    {
        bridge.onMessage (m);

        if (m.type == tonvia::WebSocketMessage::Type::message && m.binary && m.payload.size() > 16)
        {
            float index;
            std::memcpy (&index, m.payload.data() + 12, sizeof (float));
            const auto now = Clock::now();

            if (index >= 0 && (int) index < frames)
                arrivedAt[(size_t) index] = now;

            ++arrived;
        }
    });
    bridge.ws->socket.start();

    sender.bridge.signalingUrl = url;
    sender.sessionToken = "bench";
    sender.toggleConnection();

    for (int i = 0; i < 500 && (! sender.bridge.connected || ! bridge.connected || server.memberCount ("bench") < 2); ++i)
        std::this_thread::sleep_for (std::chrono::milliseconds (10));

    if (server.memberCount ("bench") < 2)
    {
        std::fprintf (stderr, "could not connect both instances\n");
        return 1;
    }

    // The sender's audio thread: one block per period, each stamped with its index.
    juce::AudioBuffer<float> buffer (2, block);
    juce::MidiBuffer midi;
    const auto period = std::chrono::nanoseconds ((long) (blockMs * 1.0e6));
    auto next = Clock::now();

    for (int i = 0; i < frames; ++i)
    {
        // Keep the ring from filling: the reader's side of the receiver is not what is measured.
        bridge.readPos.store (bridge.writePos.load());

        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), (float) i, block);

        sentAt[(size_t) i] = Clock::now();
        sender.processBlock (buffer, midi);
        next += period;
        std::this_thread::sleep_until (next);
    }

    for (int i = 0; i < 300 && arrived < frames; ++i)
        std::this_thread::sleep_for (std::chrono::milliseconds (10));

    std::vector<double> delays;

    for (int i = 0; i < frames; ++i)
        if (arrivedAt[(size_t) i] != Clock::time_point())
            delays.push_back (std::chrono::duration<double, std::micro> (arrivedAt[(size_t) i] - sentAt[(size_t) i]).count());

    sender.toggleConnection();
    bridge.disconnect();
    server.stop();

    if (delays.empty())
    {
        std::fprintf (stderr, "no frame arrived\n");
        return 1;
    }

    std::sort (delays.begin(), delays.end());
    auto at = [&] (double q) { return delays[std::min (delays.size() - 1, (size_t) (q * (double) delays.size()))]; };

    std::printf ("frames sent %d, arrived %zu, block every %.2f ms (512 stereo samples)\n", frames, delays.size(), blockMs);
    std::printf ("one-way delay, sender callback to receiver ring: p50 %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n",
                 at (0.50), at (0.90), at (0.99), delays.back());
    return 0;
}
