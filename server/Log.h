#pragma once

#include <string_view>

namespace tonvia::server
{
// One line on standard error, prefixed with the UTC time. Lines from different threads never
// interleave.
void logLine (std::string_view text);

// Turns logging off (the tests start many servers and keep their output quiet).
void setLoggingEnabled (bool enabled);
} // namespace tonvia::server
