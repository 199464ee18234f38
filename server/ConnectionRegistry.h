#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

namespace tonvia::server
{
// The live connections of a server, so that a shutdown can reach each of them and a limit can
// be kept. Used only on the server's I/O thread.
class ConnectionRegistry
{
public:
    using Closer = std::function<void()>;

    std::uint64_t add (Closer closer)
    {
        const auto id = ++lastId;
        closers.emplace (id, std::move (closer));
        return id;
    }

    void remove (std::uint64_t id)
    {
        closers.erase (id);

        if (closers.empty() && onEmpty)
            onEmpty();
    }

    std::size_t size() const noexcept { return closers.size(); }

    // Forgets the closeAll() callback (whatever it refers to is about to go).
    void clearOnEmpty() { onEmpty = nullptr; }

    // Asks every connection to close; `whenEmpty` runs once the last one has gone.
    void closeAll (std::function<void()> whenEmpty)
    {
        onEmpty = std::move (whenEmpty);

        if (closers.empty())
        {
            if (onEmpty)
                onEmpty();
            return;
        }

        auto copy = closers;   // closers may remove themselves while running

        for (auto& [id, closer] : copy)
            closer();
    }

private:
    std::map<std::uint64_t, Closer> closers;
    std::function<void()> onEmpty;
    std::uint64_t lastId = 0;
};

} // namespace tonvia::server
