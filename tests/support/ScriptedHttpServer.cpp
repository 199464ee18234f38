#include "ScriptedHttpServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <thread>

namespace testing_support
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct ScriptedHttpServer::Impl
{
    struct Connection : std::enable_shared_from_this<Connection>
    {
        Connection (Impl& o, tcp::socket s) : owner (o), socket (std::move (s)) {}

        void read()
        {
            request = {};
            http::async_read (socket, buffer, request, [self = shared_from_this()] (beast::error_code ec, std::size_t)
            {
                if (ec)
                    return;

                Request recorded { std::string (self->request.method_string()), std::string (self->request.target()), self->request.body(), {} };

                for (const auto& field : self->request)
                {
                    std::string name (field.name_string());
                    for (auto& c : name)
                        c = (char) std::tolower ((unsigned char) c);
                    recorded.headers[name] = std::string (field.value());
                }

                Reply reply;
                {
                    const std::lock_guard lock (self->owner.mutex);
                    self->owner.recorded.push_back (recorded);
                    reply = self->owner.script (recorded);
                }

                if (reply.silent)
                {
                    const std::lock_guard lock (self->owner.mutex);
                    self->owner.held.push_back (self);   // kept open, unanswered
                    return;
                }

                auto response = std::make_shared<http::response<http::string_body>> (static_cast<http::status> (reply.status), 11);
                response->set (http::field::content_type, reply.contentType);

                if (! reply.location.empty())
                    response->set (http::field::location, reply.location);

                response->body() = reply.body;
                response->keep_alive (self->request.keep_alive());
                response->prepare_payload();

                http::async_write (self->socket, *response, [self, response] (beast::error_code ec2, std::size_t)
                {
                    if (! ec2 && response->keep_alive())
                        self->read();
                });
            });
        }

        Impl& owner;
        tcp::socket socket;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
    };

    Impl (Script s) : script (std::move (s)), acceptor (ioc, { asio::ip::make_address ("127.0.0.1"), 0 })
    {
        accept();
        thread = std::thread ([this] { ioc.run(); });
    }

    ~Impl()
    {
        ioc.stop();
        thread.join();
    }

    void accept()
    {
        acceptor.async_accept ([this] (beast::error_code ec, tcp::socket socket)
        {
            if (ec)
                return;

            std::make_shared<Connection> (*this, std::move (socket))->read();
            accept();
        });
    }

    Script script;
    asio::io_context ioc;
    tcp::acceptor acceptor;
    std::thread thread;
    mutable std::mutex mutex;
    std::vector<Request> recorded;
    std::vector<std::shared_ptr<Connection>> held;
};

ScriptedHttpServer::ScriptedHttpServer (Script script) : impl (std::make_unique<Impl> (std::move (script)))
{
    listenPort = impl->acceptor.local_endpoint().port();
}

ScriptedHttpServer::~ScriptedHttpServer() = default;

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    const std::lock_guard lock (impl->mutex);
    return impl->recorded;
}

ScriptedHttpServer::Script ScriptedHttpServer::always (unsigned status, std::string body, std::string contentType)
{
    return [=] (const Request&) { Reply r; r.status = status; r.body = body; r.contentType = contentType; return r; };
}
} // namespace testing_support
