#include "Relay.h"

#include "RelaySession.h"

#include <algorithm>
#include <cstdio>

namespace tonvia::server
{
Relay::Relay (RelayLimits limits, RoomTokenCheck check)
    : relayLimits (limits), tokenCheck (std::move (check))
{
}

void Relay::join (const std::shared_ptr<RelaySession>& member)
{
    auto& room = rooms[member->roomToken()];

    // A newcomer hears of the streams already in the room.
    for (const auto& other : room)
        if (auto announcement = other->announcement())
            member->send (announcement, false);

    room.push_back (member);
    ++relayStats.joins;
}

void Relay::leave (RelaySession& member)
{
    const auto found = rooms.find (member.roomToken());

    if (found == rooms.end())
        return;

    auto& room = found->second;
    room.erase (std::remove_if (room.begin(), room.end(), [&] (const auto& m) { return m.get() == &member; }), room.end());

    if (room.empty())
        rooms.erase (found);
}

void Relay::announce (RelaySession& from, const std::shared_ptr<const std::string>& announcement)
{
    const auto found = rooms.find (from.roomToken());

    if (found == rooms.end())
        return;

    for (const auto& member : found->second)
        if (member.get() != &from)
            member->send (announcement, false);
}

void Relay::forwardFrame (RelaySession& from, const std::shared_ptr<const std::string>& frame)
{
    const auto found = rooms.find (from.roomToken());

    if (found == rooms.end())
        return;

    for (const auto& member : found->second)
    {
        if (member.get() == &from || member->role() != Role::receive)
            continue;

        if (member->send (frame, true))
            ++relayStats.framesForwarded;
        else
            ++relayStats.framesDropped;
    }
}

std::size_t Relay::memberCount (const std::string& token) const
{
    const auto found = rooms.find (token);
    return found == rooms.end() ? 0 : found->second.size();
}

std::string roomLabel (const std::string& token)
{
    // FNV-1a: a stable label that does not reveal the token.
    std::uint32_t h = 2166136261u;

    for (const unsigned char c : token)
        h = (h ^ c) * 16777619u;

    char label[16];
    std::snprintf (label, sizeof (label), "room-%08x", h);
    return label;
}

} // namespace tonvia::server
