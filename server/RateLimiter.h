#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace tonvia::server
{
// Counts events per address in a sliding window; once `limit` events fall inside the window,
// the address is refused until the oldest of them has aged out.
class RateLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    RateLimiter (int limitIn, std::chrono::seconds windowIn) : limit (limitIn), window (windowIn) {}

    bool isLimited (const std::string& address)
    {
        const std::lock_guard guard (lock);
        prune (address);
        const auto found = events.find (address);
        return found != events.end() && (int) found->second.size() >= limit;
    }

    void record (const std::string& address)
    {
        const std::lock_guard guard (lock);
        prune (address);
        events[address].push_back (Clock::now());

        if (events.size() > maxAddresses)
            pruneAll();
    }

private:
    void prune (const std::string& address)
    {
        const auto found = events.find (address);

        if (found == events.end())
            return;

        auto& times = found->second;
        const auto horizon = Clock::now() - window;

        while (! times.empty() && times.front() < horizon)
            times.erase (times.begin());

        if (times.empty())
            events.erase (found);
    }

    // Keeps memory bounded when many addresses come and go.
    void pruneAll()
    {
        const auto horizon = Clock::now() - window;

        for (auto it = events.begin(); it != events.end();)
        {
            if (it->second.empty() || it->second.back() < horizon)
                it = events.erase (it);
            else
                ++it;
        }
    }

    static constexpr std::size_t maxAddresses = 100000;
    const int limit;
    const std::chrono::seconds window;
    std::mutex lock;
    std::map<std::string, std::vector<Clock::time_point>> events;
};
} // namespace tonvia::server
