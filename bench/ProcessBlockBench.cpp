// Cost of the audio callback per 512-sample stereo block:
//   send     the block encoded as a frame and pushed into the socket's queue (connected to a
//            loopback peer that drains it)
//   receive  a whole block de-interleaved out of the receive ring
//   copy     a plain copy of the same block, as the floor
// Each block is timed on its own; the work that keeps the steady state (draining the socket's
// queue, refilling the ring) happens outside the timed region.

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include "PluginProcessor.h"
#include "support/Frames.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"

#include <chrono>
#include <thread>

namespace
{
constexpr int blockSize = 512;
constexpr int channels = 2;

juce::AudioBuffer<float> makeBlock()
{
    juce::AudioBuffer<float> buffer (channels, blockSize);

    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < blockSize; ++i)
            buffer.setSample (c, i, std::sin ((float) (i + c) * 0.01f));

    return buffer;
}

template <typename Fn>
double secondsFor (Fn&& fn)
{
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
}

void BM_ProcessBlockSend (benchmark::State& state)
{
    testing_support::LoopbackPeer peer;
    TonviaProcessor p;
    p.bridge.signalingUrl = peer.url();
    p.sessionToken = "bench";
    p.toggleConnection();

    if (! testing_support::waitUntil ([&] { return p.bridge.getStatus() == "Connected"; }))
    {
        state.SkipWithError ("could not connect to the loopback peer");
        return;
    }

    auto buffer = makeBlock();
    juce::MidiBuffer midi;
    auto& socket = p.bridge.ws->socket;
    long blocks = 0;
    long framesBefore = (long) peer.messageCount();

    for (auto _ : state)
    {
        // Keep the queue from filling: a full queue drops frames, which is cheaper than sending.
        if (++blocks % 64 == 0)
            while (socket.hasQueuedBinary())
                std::this_thread::yield();

        state.SetIterationTime (secondsFor ([&] { p.processBlock (buffer, midi); }));
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
    }

    state.SetItemsProcessed (state.iterations());
    testing_support::waitUntil ([&] { return (long) peer.messageCount() - framesBefore >= blocks; });
    state.counters["frames_lost"] = (double) (blocks - ((long) peer.messageCount() - framesBefore));
}

void BM_ProcessBlockReceive (benchmark::State& state)
{
    TonviaProcessor p;
    p.mode = 1;
    p.bridge.connected = true;
    p.bridge.isSender = false;

    const auto frame = testing_support::makeFrame (38848, channels, blockSize, testing_support::counting (blockSize * channels));
    juce::AudioBuffer<float> buffer (channels, blockSize);
    juce::MidiBuffer midi;

    for (auto _ : state)
    {
        p.bridge.handleBinaryFrame (frame);
        state.SetIterationTime (secondsFor ([&] { p.processBlock (buffer, midi); }));
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
    }

    p.bridge.connected = false;
    state.SetItemsProcessed (state.iterations());
}

void BM_PlainCopy (benchmark::State& state)
{
    const auto source = makeBlock();
    juce::AudioBuffer<float> buffer (channels, blockSize);

    for (auto _ : state)
    {
        state.SetIterationTime (secondsFor ([&]
        {
            for (int c = 0; c < channels; ++c)
                buffer.copyFrom (c, 0, source, c, 0, blockSize);
        }));
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
    }

    state.SetItemsProcessed (state.iterations());
}

// The floor of the manual timing itself: an empty timed region.
void BM_TimerOverhead (benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime (secondsFor ([] {}));
}
} // namespace

BENCHMARK (BM_ProcessBlockSend)->UseManualTime()->Iterations (200000);
BENCHMARK (BM_ProcessBlockReceive)->UseManualTime()->MinTime (2.0);
BENCHMARK (BM_PlainCopy)->UseManualTime()->MinTime (2.0);
BENCHMARK (BM_TimerOverhead)->UseManualTime()->MinTime (1.0);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
