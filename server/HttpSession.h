#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tonvia::server
{
class ConnectionRegistry;
class Relay;

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Answers one plain HTTP request. `reply` may be called later, from any thread; the session
// carries the answer back to its own I/O thread.
using HttpHandler = std::function<void (HttpRequest request, const std::string& remoteAddress,
                                        std::function<void (HttpResponse)> reply)>;

// A JSON reply in the form every endpoint uses.
HttpResponse jsonResponse (unsigned status, const std::string& body, unsigned version = 11, bool keepAlive = true);

// One HTTP connection: reads requests (bounded in size), hands WebSocket upgrades to the relay
// and everything else to the HTTP handler, and writes the replies.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    static constexpr std::size_t maxBodyBytes = 64 * 1024;
    static constexpr std::size_t maxHeaderBytes = 16 * 1024;

    HttpSession (boost::asio::ip::tcp::socket socket, Relay& relay, ConnectionRegistry& registry, HttpHandler handler);
    ~HttpSession();

    void run();

private:
    void readNext();
    void onRequest();
    void write (HttpResponse response);
    void close();

    boost::beast::tcp_stream stream;
    Relay& relay;
    ConnectionRegistry& registry;
    HttpHandler handler;
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    std::shared_ptr<HttpResponse> pending;
    std::uint64_t connectionId = 0;
    std::string remoteAddress;
    bool closed = false;
};

} // namespace tonvia::server
