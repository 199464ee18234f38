#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support
{
// Polls until the condition holds or the timeout passes; returns the condition's last value.
inline bool waitUntil (const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds (5))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;

    while (! condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();

        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }

    return true;
}
} // namespace testing_support
