// The audio thread must not allocate in steady state. This program replaces the global
// allocation functions with counting ones; the count is kept per thread so that the socket's
// and the peer's threads, which may allocate, do not disturb it.

#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "support/Frames.h"
#include "support/LoopbackPeer.h"
#include "support/TestServer.h"
#include "support/Wait.h"

#include <cstdlib>
#include <new>

extern "C" void* __libc_malloc (size_t);
extern "C" void* __libc_calloc (size_t, size_t);
extern "C" void* __libc_realloc (void*, size_t);
extern "C" void __libc_free (void*);

namespace
{
thread_local bool countingOnThisThread = false;
thread_local long allocations = 0;

void noteAllocation() noexcept
{
    if (countingOnThisThread)
        ++allocations;
}
} // namespace

extern "C" void* malloc (size_t n) { noteAllocation(); return __libc_malloc (n); }
extern "C" void* calloc (size_t a, size_t b) { noteAllocation(); return __libc_calloc (a, b); }
extern "C" void* realloc (void* p, size_t n) { noteAllocation(); return __libc_realloc (p, n); }
extern "C" void free (void* p) { if (p != nullptr) noteAllocation(); __libc_free (p); }

void* operator new (size_t n) { noteAllocation(); if (auto* p = __libc_malloc (n ? n : 1)) return p; throw std::bad_alloc(); }
void* operator new[] (size_t n) { return operator new (n); }
void* operator new (size_t n, const std::nothrow_t&) noexcept { noteAllocation(); return __libc_malloc (n ? n : 1); }
void* operator new[] (size_t n, const std::nothrow_t&) noexcept { return operator new (n, std::nothrow); }
void operator delete (void* p) noexcept { free (p); }
void operator delete[] (void* p) noexcept { free (p); }
void operator delete (void* p, size_t) noexcept { free (p); }
void operator delete[] (void* p, size_t) noexcept { free (p); }

using testing_support::counting;
using testing_support::LoopbackPeer;
using testing_support::makeFrame;
using testing_support::waitUntil;

namespace
{
// Runs `blocks` callbacks on a thread of its own, counting what that thread allocates or frees
// after a few warm-up blocks.
long allocationsOnAudioThread (TonviaProcessor& p, int blocks, const std::function<void (int)>& beforeBlock)
{
    long result = -1;

    std::thread audio ([&]
    {
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;

        for (int i = 0; i < blocks; ++i)
        {
            beforeBlock (i);

            for (int c = 0; c < 2; ++c)
                for (int s = 0; s < 512; ++s)
                    buffer.setSample (c, s, (float) (i + s) * 1.0e-4f);

            countingOnThisThread = i >= 10;
            p.processBlock (buffer, midi);
            countingOnThisThread = false;
        }

        result = allocations;
    });

    audio.join();
    return result;
}
} // namespace

TEST (AudioThread, SendModeAllocatesNothingWithFramesFlowing)
{
    LoopbackPeer peer;
    TonviaProcessor p;
    p.bridge.signalingUrl = peer.url();
    p.sessionToken = "room";
    p.toggleConnection();
    ASSERT_TRUE (waitUntil ([&] { return p.bridge.getStatus() == "Connected"; }));
    ASSERT_TRUE (peer.waitForMessages (2));

    constexpr int blocks = 3000;
    const auto count = allocationsOnAudioThread (p, blocks, [] (int)
    {
        // Faster than real time (a 512-sample block lasts 10.7 ms at 48 kHz), but slow enough
        // for the socket thread to keep the queue from filling.
        std::this_thread::sleep_for (std::chrono::microseconds (300));
    });

    EXPECT_EQ (0, count);

    // The frames really went out.
    EXPECT_TRUE (peer.waitForMessages (2 + blocks, std::chrono::seconds (20))) << peer.messageCount() << " messages";
    EXPECT_EQ (4108u, peer.messages().back().data.size());
}

TEST (AudioThread, ReceiveModeAllocatesNothingWithTheRingFed)
{
    TonviaProcessor p;
    p.mode = 1;
    p.bridge.connected = true;
    p.bridge.isSender = false;

    const auto frame = makeFrame (1, 2, 512, counting (1024));
    std::atomic<int> played { 0 };

    // The socket thread's side is played by this feeder, one frame per block.
    constexpr int blocks = 3000;
    const auto count = allocationsOnAudioThread (p, blocks, [&] (int)
    {
        p.bridge.handleBinaryFrame (frame);
        ++played;
    });

    EXPECT_EQ (0, count);
    EXPECT_EQ (blocks, played.load());
    EXPECT_EQ (0, p.bridge.heldSamples());
    p.bridge.connected = false;
}

TEST (AudioThread, NeitherEndAllocatesWithFramesFlowingThroughTheRelay)
{
    testing_support::TestServer server;
    TonviaProcessor sender, receiver;

    for (auto* p : { &receiver, &sender })
    {
        p->bridge.signalingUrl = server.url();
        p->sessionToken = "room";
        p->mode = p == &sender ? 0 : 1;
        p->toggleConnection();
        ASSERT_TRUE (waitUntil ([p] { return p->bridge.getStatus() == "Connected"; }));
    }

    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 2; }));

    constexpr int blocks = 2000;
    std::atomic<long> receiverAllocations { -1 };
    std::atomic<int> played { 0 };
    std::atomic<bool> sending { true };

    // The receiver's audio thread runs alongside, pulling whatever has arrived.
    std::thread receiverAudio ([&]
    {
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;

        for (int i = 0; sending || receiver.bridge.heldSamples() >= 1024; ++i)
        {
            const int before = receiver.bridge.readPos.load();
            countingOnThisThread = i >= 10;
            receiver.processBlock (buffer, midi);
            countingOnThisThread = false;

            if (receiver.bridge.readPos.load() != before)
                ++played;
            else
                std::this_thread::sleep_for (std::chrono::microseconds (200));
        }

        receiverAllocations = allocations;
    });

    const auto senderAllocations = allocationsOnAudioThread (sender, blocks, [] (int)
    {
        std::this_thread::sleep_for (std::chrono::microseconds (300));
    });

    waitUntil ([&] { return played.load() >= blocks - 10; }, std::chrono::seconds (10));
    sending = false;
    receiverAudio.join();

    EXPECT_EQ (0, senderAllocations);
    EXPECT_EQ (0, receiverAllocations.load());
    EXPECT_GE (played.load(), blocks - 10);   // the frames really flowed
}
