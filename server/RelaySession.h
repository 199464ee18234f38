#pragma once

#include "Relay.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace tonvia::server
{
class ConnectionRegistry;

// One WebSocket connection to the relay. Its first message must be a join; after that it is a
// room member in the send or the receive role. Outgoing messages wait in a bounded queue: when
// the peer does not keep up, frames for it are dropped rather than buffered without end.
class RelaySession : public std::enable_shared_from_this<RelaySession>
{
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    RelaySession (boost::beast::tcp_stream stream, Relay& relay, ConnectionRegistry& registry);
    ~RelaySession();

    // Completes the WebSocket handshake for this upgrade request and starts reading.
    void run (Request request);

    // Queues a message; false (and nothing queued) when a frame does not fit the queue's bound
    // or the connection is closing.
    bool send (const std::shared_ptr<const std::string>& message, bool binary);

    // Closes with 1001 "going away" (server shutdown).
    void goAway();

    const std::string& roomToken() const noexcept { return token; }
    Relay::Role role() const noexcept { return memberRole; }
    std::shared_ptr<const std::string> announcement() const { return lastAnnouncement; }
    std::uint64_t id() const noexcept { return connectionId; }

private:
    void readNext();
    void onMessage();
    void onJoin (const std::string& text);
    void onMemberText (const std::string& text);
    void refuse (const char* why);
    void stopTakingPart();   // leaves the room and drops what waits to be sent
    void closeWith (boost::beast::websocket::close_code code, const std::string& reason);
    void writeNext();
    void finish (const std::string& why);

    struct Outgoing
    {
        std::shared_ptr<const std::string> data;
        bool binary;
    };

    boost::beast::websocket::stream<boost::beast::tcp_stream> ws;
    Relay& relay;
    ConnectionRegistry& registry;
    std::uint64_t connectionId = 0;
    std::string remote;
    boost::asio::steady_timer joinTimer;
    boost::beast::flat_buffer readBuffer;

    std::deque<Outgoing> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool closing = false;
    bool finished = false;
    std::optional<boost::beast::websocket::close_reason> pendingClose;

    bool joined = false;
    std::string token;
    Relay::Role memberRole = Relay::Role::receive;
    std::shared_ptr<const std::string> lastAnnouncement;
};

} // namespace tonvia::server
