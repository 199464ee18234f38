#include "Server.h"

#include "Log.h"

#include <boost/asio/post.hpp>

#include <future>

namespace tonvia::server
{
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace
{
constexpr auto shutdownGrace = std::chrono::seconds (5);

RoomTokenCheck anyNonEmptyToken()
{
    return [] (const std::string& token) { return ! token.empty(); };
}
} // namespace

Server::Server (ServerOptions optionsIn)
    : options (std::move (optionsIn)),
      relayCore (options.relay, options.roomTokenCheck ? options.roomTokenCheck : anyNonEmptyToken())
{
    const tcp::endpoint endpoint (asio::ip::make_address (options.listenAddress), options.port);
    acceptor.open (endpoint.protocol());
    acceptor.set_option (asio::socket_base::reuse_address (true));
    acceptor.bind (endpoint);
    acceptor.listen (asio::socket_base::max_listen_connections);
    boundPort = acceptor.local_endpoint().port();
    accept();
}

Server::~Server()
{
    stop();
    registry.clearOnEmpty();   // connections destroyed with the I/O context must not reach the timer
}

void Server::accept()
{
    acceptor.async_accept ([this] (boost::beast::error_code ec, tcp::socket socket)
    {
        if (ec)
        {
            if (ec != asio::error::operation_aborted && acceptor.is_open())
                accept();   // e.g. out of file descriptors: keep serving the others
            return;
        }

        if (registry.size() >= options.maxConnections)
        {
            logLine ("refuse connection: " + std::to_string (registry.size()) + " connections open");
            boost::beast::error_code ignored;
            socket.close (ignored);
        }
        else
        {
            std::make_shared<HttpSession> (std::move (socket), relayCore, registry, options.httpHandler)->run();
        }

        accept();
    });
}

void Server::run()
{
    ioc.run();
}

void Server::start()
{
    thread = std::thread ([this] { run(); });
}

void Server::shutdown()
{
    if (shuttingDown.exchange (true))
        return;

    asio::post (ioc, [this]
    {
        logLine ("shutting down: closing " + std::to_string (registry.size()) + " connections");
        boost::beast::error_code ignored;
        acceptor.close (ignored);

        if (signals)
            signals->cancel (ignored);

        graceTimer.expires_after (shutdownGrace);
        graceTimer.async_wait ([this] (boost::beast::error_code ec)
        {
            if (! ec)
                ioc.stop();   // someone did not answer the close in time
        });

        registry.closeAll ([this] { graceTimer.cancel(); });
    });
}

void Server::stop()
{
    if (! thread.joinable())
        return;

    shutdown();
    thread.join();
}

void Server::handleTerminationSignals()
{
    signals.emplace (ioc, SIGTERM, SIGINT);
    signals->async_wait ([this] (boost::beast::error_code ec, int signal)
    {
        if (ec)
            return;

        logLine (std::string ("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
        shutdown();
    });
}

namespace
{
template <typename Fn>
std::size_t askIoThread (asio::io_context& ioc, Fn&& fn)
{
    std::promise<std::size_t> answer;
    asio::post (ioc, [&] { answer.set_value (fn()); });
    return answer.get_future().get();
}
} // namespace

std::size_t Server::connectionCount()   { return askIoThread (ioc, [this] { return registry.size(); }); }
std::size_t Server::roomCount()         { return askIoThread (ioc, [this] { return relayCore.roomCount(); }); }

std::size_t Server::memberCount (const std::string& roomToken)
{
    return askIoThread (ioc, [this, &roomToken] { return relayCore.memberCount (roomToken); });
}

} // namespace tonvia::server
