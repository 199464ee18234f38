#pragma once

#include "ConnectionRegistry.h"
#include "HttpSession.h"
#include "Relay.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

namespace tonvia::server
{
struct ServerOptions
{
    std::string listenAddress = "127.0.0.1";
    std::uint16_t port = 80;            // 0 picks a free port
    std::size_t maxConnections = 1024;
    RelayLimits relay;
    RoomTokenCheck roomTokenCheck;      // empty: any non-empty token names a room
    HttpHandler httpHandler;            // empty: every plain HTTP request gets a JSON 404
};

// tonvia-server's network side on one I/O thread: one port, plain HTTP requests for the account
// service and WebSocket upgrades for the relay.
class Server
{
public:
    explicit Server (ServerOptions options);   // binds and listens; throws when it cannot
    ~Server();

    std::uint16_t port() const noexcept { return boundPort; }

    // Runs the I/O loop on the calling thread until shutdown has closed every connection.
    void run();

    // Runs the I/O loop on a thread of its own.
    void start();

    // Stops accepting and closes every connection ("going away" for relay members). Safe from
    // any thread; run() returns once the connections are gone (or after a grace period).
    void shutdown();

    // shutdown() and wait for the I/O thread started by start().
    void stop();

    // Closes down cleanly on SIGTERM or SIGINT.
    void handleTerminationSignals();

    Relay& relay() noexcept { return relayCore; }

    // These ask the I/O thread, so they are safe from any other thread while it runs.
    std::size_t connectionCount();
    std::size_t roomCount();
    std::size_t memberCount (const std::string& roomToken);

private:
    void accept();

    ServerOptions options;
    ConnectionRegistry registry;
    boost::asio::io_context ioc { 1 };
    boost::asio::ip::tcp::acceptor acceptor { ioc };
    boost::asio::steady_timer graceTimer { ioc };
    std::optional<boost::asio::signal_set> signals;
    Relay relayCore;
    std::uint16_t boundPort = 0;
    std::atomic<bool> shuttingDown { false };
    std::thread thread;
};

} // namespace tonvia::server
