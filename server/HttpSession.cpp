#include "HttpSession.h"

#include "ConnectionRegistry.h"
#include "RelaySession.h"

#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>

namespace tonvia::server
{
namespace beast = boost::beast;
namespace http = beast::http;
namespace asio = boost::asio;

namespace
{
constexpr auto readTimeout = std::chrono::seconds (30);
}

HttpResponse jsonResponse (unsigned status, const std::string& body, unsigned version, bool keepAlive)
{
    HttpResponse response (static_cast<http::status> (status), version);
    response.set (http::field::server, "tonvia-server");
    response.set (http::field::content_type, "application/json");
    response.set (http::field::cache_control, "no-store");
    response.keep_alive (keepAlive);
    response.body() = body;
    response.prepare_payload();
    return response;
}

HttpSession::HttpSession (asio::ip::tcp::socket socket, Relay& relayIn, ConnectionRegistry& registryIn, HttpHandler handlerIn)
    : stream (std::move (socket)), relay (relayIn), registry (registryIn), handler (std::move (handlerIn))
{
}

HttpSession::~HttpSession()
{
    if (connectionId != 0)
        registry.remove (connectionId);
}

void HttpSession::run()
{
    beast::error_code ec;
    const auto endpoint = stream.socket().remote_endpoint (ec);
    remoteAddress = ec ? std::string ("?") : endpoint.address().to_string();
    stream.socket().set_option (asio::ip::tcp::no_delay (true), ec);   // audio frames must not wait for Nagle

    connectionId = registry.add ([weak = weak_from_this()]
    {
        if (auto self = weak.lock())
            self->close();
    });

    readNext();
}

void HttpSession::readNext()
{
    parser.emplace();
    parser->body_limit (maxBodyBytes);
    parser->header_limit (maxHeaderBytes);
    stream.expires_after (readTimeout);

    http::async_read (stream, buffer, *parser, [self = shared_from_this()] (beast::error_code ec, std::size_t)
    {
        if (ec == http::error::body_limit)
            return self->write (jsonResponse (413, R"({"ok":false,"error":"too_large"})", 11, false));

        if (ec == http::error::header_limit)
            return self->write (jsonResponse (431, R"({"ok":false,"error":"headers_too_large"})", 11, false));

        if (ec)
            return self->close();

        self->onRequest();
    });
}

void HttpSession::onRequest()
{
    auto request = parser->release();

    if (beast::websocket::is_upgrade (request))
    {
        // The connection becomes a relay member; this session's part ends here.
        stream.expires_never();
        auto relaySession = std::make_shared<RelaySession> (std::move (stream), relay, registry);
        relaySession->run (std::move (request));
        registry.remove (std::exchange (connectionId, 0));
        closed = true;
        return;
    }

    if (! handler)
        return write (jsonResponse (404, R"({"ok":false,"error":"not_found"})", request.version(), request.keep_alive()));

    const auto version = request.version();
    const auto keepAlive = request.keep_alive();

    // The reply may come from another thread. The session's reference travels with it and is
    // handed straight back to the session's own thread, so the session lives until its answer
    // is written and is only ever touched (and destroyed) there.
    handler (std::move (request), remoteAddress,
             [self = shared_from_this(), executor = stream.get_executor(), version, keepAlive] (HttpResponse response) mutable
    {
        response.version (version);
        response.keep_alive (keepAlive && response.keep_alive());
        asio::post (executor, [self = std::move (self), response = std::move (response)]() mutable
        {
            self->write (std::move (response));
        });
    });
}

void HttpSession::write (HttpResponse response)
{
    if (closed)
        return;

    pending = std::make_shared<HttpResponse> (std::move (response));
    stream.expires_after (readTimeout);

    http::async_write (stream, *pending, [self = shared_from_this()] (beast::error_code ec, std::size_t)
    {
        const bool keepAlive = self->pending->keep_alive();
        self->pending.reset();

        if (ec || ! keepAlive)
            return self->close();

        self->readNext();
    });
}

void HttpSession::close()
{
    if (closed)
        return;

    closed = true;
    beast::error_code ignored;
    stream.socket().shutdown (asio::ip::tcp::socket::shutdown_send, ignored);
    stream.close();
}

} // namespace tonvia::server
