#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace tonvia::server
{
namespace
{
std::atomic<bool> loggingEnabled { true };
std::mutex logMutex;
} // namespace

void setLoggingEnabled (bool enabled)
{
    loggingEnabled = enabled;
}

void logLine (std::string_view text)
{
    if (! loggingEnabled)
        return;

    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::system_clock::to_time_t (now);
    const auto millis = (int) (std::chrono::duration_cast<std::chrono::milliseconds> (now.time_since_epoch()).count() % 1000);
    std::tm utc {};
    gmtime_r (&seconds, &utc);
    char stamp[32];
    std::strftime (stamp, sizeof (stamp), "%Y-%m-%dT%H:%M:%S", &utc);

    const std::lock_guard lock (logMutex);
    std::fprintf (stderr, "%s.%03dZ %.*s\n", stamp, millis, (int) text.size(), text.data());
    std::fflush (stderr);
}
} // namespace tonvia::server
