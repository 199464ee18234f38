#pragma once

#include <juce_events/juce_events.h>

#include <chrono>
#include <functional>
#include <thread>

namespace juce
{
// JUCE's own step of its message loop (what runDispatchLoopUntil is made of).
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace tonvia_tools
{
// Runs the real message loop on this (the message) thread until the condition holds or the
// time is up; returns the condition's last value.
inline bool runMessageLoopUntil (const std::function<bool()>& condition,
                                 std::chrono::milliseconds timeout = std::chrono::seconds (10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;

    while (! condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();

        if (! juce::dispatchNextMessageOnSystemQueue (true))
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    return true;
}

inline void runMessageLoopFor (std::chrono::milliseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    runMessageLoopUntil ([&] { return std::chrono::steady_clock::now() > deadline; }, duration + std::chrono::seconds (1));
}
} // namespace tonvia_tools
