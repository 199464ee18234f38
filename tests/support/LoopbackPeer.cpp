#include "LoopbackPeer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace testing_support
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct LoopbackPeer::Impl
{
    struct Connection : std::enable_shared_from_this<Connection>
    {
        Connection (Impl& ownerIn, tcp::socket socket) : owner (ownerIn), ws (std::move (socket)) {}

        void start()
        {
            ws.read_message_max (16 * 1024 * 1024);
            ws.async_accept ([self = shared_from_this()] (beast::error_code ec)
            {
                if (ec)
                    return;

                {
                    const std::lock_guard lock (self->owner.mutex);
                    ++self->owner.connections;
                    self->owner.latest = self;
                }
                self->owner.changed.notify_all();
                self->read();
            });
        }

        void read()
        {
            ws.async_read (buffer, [self = shared_from_this()] (beast::error_code ec, std::size_t)
            {
                if (ec)
                {
                    const std::lock_guard lock (self->owner.mutex);
                    self->owner.closeSeen = CloseSeen { static_cast<std::uint16_t> (self->ws.reason().code),
                                                        std::string (self->ws.reason().reason.c_str()) };
                    self->owner.closes++;
                    self->owner.changed.notify_all();
                    return;
                }

                {
                    const std::lock_guard lock (self->owner.mutex);
                    self->owner.received.push_back ({ self->ws.got_binary(), beast::buffers_to_string (self->buffer.data()) });
                }
                self->owner.changed.notify_all();
                self->buffer.consume (self->buffer.size());
                self->read();
            });
        }

        void write (bool binary, std::string data)
        {
            queue.push_back ({ binary, std::move (data) });

            if (queue.size() == 1)
                writeNext();
        }

        void writeNext()
        {
            ws.binary (queue.front().binary);
            ws.async_write (asio::buffer (queue.front().data), [self = shared_from_this()] (beast::error_code ec, std::size_t)
            {
                self->queue.erase (self->queue.begin());

                if (! ec && ! self->queue.empty())
                    self->writeNext();
            });
        }

        Impl& owner;
        websocket::stream<tcp::socket> ws;
        beast::flat_buffer buffer;
        std::vector<Received> queue;
    };

    Impl() : acceptor (ioc, tcp::endpoint (asio::ip::make_address ("127.0.0.1"), 0))
    {
        accept();
        thread = std::thread ([this] { ioc.run(); });
    }

    ~Impl()
    {
        asio::post (ioc, [this]
        {
            acceptor.close();

            if (auto c = latest.lock())
            {
                beast::error_code ignored;
                c->ws.next_layer().close (ignored);
            }
        });
        work.reset();
        ioc.stop();
        thread.join();
    }

    void accept()
    {
        acceptor.async_accept ([this] (beast::error_code ec, tcp::socket socket)
        {
            if (ec)
                return;

            std::make_shared<Connection> (*this, std::move (socket))->start();
            accept();
        });
    }

    asio::io_context ioc;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work { ioc.get_executor() };
    tcp::acceptor acceptor;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Received> received;
    int connections = 0;
    int closes = 0;
    std::optional<CloseSeen> closeSeen;
    std::weak_ptr<Connection> latest;
};

LoopbackPeer::LoopbackPeer() : impl (std::make_unique<Impl>())
{
    listenPort = impl->acceptor.local_endpoint().port();
}

LoopbackPeer::~LoopbackPeer() = default;

bool LoopbackPeer::waitForMessages (std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock (impl->mutex);
    return impl->changed.wait_for (lock, timeout, [&] { return impl->received.size() >= count; });
}

std::vector<LoopbackPeer::Received> LoopbackPeer::messages() const
{
    const std::lock_guard lock (impl->mutex);
    return impl->received;
}

std::size_t LoopbackPeer::messageCount() const
{
    const std::lock_guard lock (impl->mutex);
    return impl->received.size();
}

bool LoopbackPeer::waitForConnections (int count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock (impl->mutex);
    return impl->changed.wait_for (lock, timeout, [&] { return impl->connections >= count; });
}

int LoopbackPeer::connectionCount() const
{
    const std::lock_guard lock (impl->mutex);
    return impl->connections;
}

bool LoopbackPeer::waitForClose (std::chrono::milliseconds timeout)
{
    std::unique_lock lock (impl->mutex);
    return impl->changed.wait_for (lock, timeout, [&] { return impl->closes > 0; });
}

std::optional<LoopbackPeer::CloseSeen> LoopbackPeer::lastClose() const
{
    const std::lock_guard lock (impl->mutex);
    return impl->closeSeen;
}

void LoopbackPeer::sendText (std::string text)
{
    asio::post (impl->ioc, [this, text = std::move (text)]() mutable
    {
        if (auto c = impl->latest.lock())
            c->write (false, std::move (text));
    });
}

void LoopbackPeer::sendBinary (std::string bytes)
{
    asio::post (impl->ioc, [this, bytes = std::move (bytes)]() mutable
    {
        if (auto c = impl->latest.lock())
            c->write (true, std::move (bytes));
    });
}

void LoopbackPeer::close (std::uint16_t code, std::string reason)
{
    asio::post (impl->ioc, [this, code, reason = std::move (reason)]
    {
        if (auto c = impl->latest.lock())
            c->ws.async_close (websocket::close_reason (static_cast<websocket::close_code> (code), reason),
                               [c] (beast::error_code) {});
    });
}

} // namespace testing_support
