#pragma once

// The relay: rooms keyed by the join's room token, members in the send or the receive role,
// stream announcements passed between members, audio frames from senders forwarded unchanged
// to the receivers of the same room. Everything here runs on the server's one I/O thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tonvia::server
{
class RelaySession;

struct RelayLimits
{
    std::size_t maxMessageBytes = 1024 * 1024;          // a frame of 65535 stereo samples is 512 KiB
    std::size_t maxQueuedBytes = 2 * 1024 * 1024;       // per connection, before frames are dropped
    std::chrono::milliseconds idleTimeout { 30000 };    // a ping goes out after half of it
    std::chrono::milliseconds joinTimeout { 10000 };    // the join must come within this
};

// Whether a join's room token names a room this server opened. Called on the I/O thread.
using RoomTokenCheck = std::function<bool (const std::string& token)>;

struct RelayStats
{
    std::atomic<std::uint64_t> framesForwarded { 0 };   // one per receiver a frame was queued for
    std::atomic<std::uint64_t> framesDropped { 0 };     // refused by a full outgoing queue
    std::atomic<std::uint64_t> framesRejected { 0 };    // malformed, or sent by a receiver
    std::atomic<std::uint64_t> joins { 0 };
    std::atomic<std::uint64_t> largestQueueBytes { 0 };   // the most any connection held unsent
};

class Relay
{
public:
    enum class Role { send, receive };

    Relay (RelayLimits limits, RoomTokenCheck check);

    const RelayLimits& limits() const noexcept { return relayLimits; }
    RelayStats& stats() noexcept { return relayStats; }

    bool acceptsToken (const std::string& token) const { return tokenCheck (token); }

    void join (const std::shared_ptr<RelaySession>& member);
    void leave (RelaySession& member);

    // A member's announcement goes to the room's other members.
    void announce (RelaySession& from, const std::shared_ptr<const std::string>& announcement);

    // A sender's frame goes, unchanged and shared, to the room's receivers.
    void forwardFrame (RelaySession& from, const std::shared_ptr<const std::string>& frame);

    std::size_t roomCount() const noexcept { return rooms.size(); }
    std::size_t memberCount (const std::string& token) const;

private:
    using Room = std::vector<std::shared_ptr<RelaySession>>;

    RelayLimits relayLimits;
    RoomTokenCheck tokenCheck;
    RelayStats relayStats;
    std::map<std::string, Room> rooms;
};

// A short, non-secret label for a room token, for log lines.
std::string roomLabel (const std::string& token);

} // namespace tonvia::server
