#include "WebSocketClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace tonvia
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace
{
struct WsUrl
{
    std::string host, port, target;
};

// Accepts ws://host[:port][/path][?query]; hosts may be bracketed IPv6 literals.
std::optional<WsUrl> parseWsUrl (std::string_view url)
{
    constexpr std::string_view scheme = "ws://";

    if (url.size() <= scheme.size() || url.substr (0, scheme.size()) != scheme)
        return std::nullopt;

    auto rest = url.substr (scheme.size());
    const auto slash = rest.find_first_of ("/?");
    auto authority = rest.substr (0, slash);
    std::string target = slash == std::string_view::npos ? "/" : std::string (rest.substr (slash));

    if (target.front() == '?')
        target.insert (target.begin(), '/');

    WsUrl result;
    result.target = std::move (target);

    if (! authority.empty() && authority.front() == '[')
    {
        const auto close = authority.find (']');

        if (close == std::string_view::npos)
            return std::nullopt;

        result.host = std::string (authority.substr (1, close - 1));
        authority.remove_prefix (close + 1);

        if (! authority.empty() && authority.front() != ':')
            return std::nullopt;
    }
    else
    {
        const auto colon = authority.find (':');
        result.host = std::string (authority.substr (0, colon));
        authority.remove_prefix (colon == std::string_view::npos ? authority.size() : colon);
    }

    if (! authority.empty())
    {
        result.port = std::string (authority.substr (1));

        if (result.port.empty() || result.port.find_first_not_of ("0123456789") != std::string::npos)
            return std::nullopt;
    }
    else
    {
        result.port = "80";
    }

    if (result.host.empty())
        return std::nullopt;

    return result;
}

// How often the client's thread looks for frames queued by the producer when it is idle.
// The producer cannot wake the thread (that would be a system call on the audio thread).
constexpr auto binaryPollInterval = 1ms;
constexpr auto connectTimeout = 10s;
constexpr auto closeTimeout = 2s;
constexpr std::size_t maxIncomingMessage = 4 * 1024 * 1024;
} // namespace

//==============================================================================
// One connection: its own io_context, stream and thread. A new one is made for each start().
class WebSocketClient::Session
{
public:
    Session (WebSocketClient& ownerIn, std::string urlIn)
        : owner (ownerIn), url (std::move (urlIn))
    {
    }

    void run()
    {
        thread = std::thread ([this]
        {
            begin();

            try
            {
                ioc.run();
            }
            catch (const std::exception& e)
            {
                fail (e.what());
            }
        });
    }

    // Called from the controlling thread; the rest happens on the session's thread.
    void shutdown (std::uint16_t code, std::string reason)
    {
        stopRequested.store (true, std::memory_order_release);
        asio::post (ioc, [this, code, reason = std::move (reason)]() mutable
        {
            closeReason = websocket::close_reason (static_cast<websocket::close_code> (code), reason);
            closeRequested = true;
            beginClose();
        });

        thread.join();
    }

    void queueText (std::string text)
    {
        {
            const std::lock_guard lock (textLock);
            texts.push_back (std::move (text));
        }

        asio::post (ioc, [this] { pumpWrites(); });
    }

private:
    void begin()
    {
        const auto parsed = parseWsUrl (url);

        if (! parsed)
            return fail ("invalid WebSocket URL (expected ws://host[:port][/path]): " + url);

        target = *parsed;
        resolver.async_resolve (target.host, target.port, [this] (beast::error_code ec, tcp::resolver::results_type results)
        {
            if (ec)
                return fail (ec);

            auto& tcpStream = beast::get_lowest_layer (ws);
            tcpStream.expires_after (connectTimeout);
            tcpStream.async_connect (results, [this] (beast::error_code ec2, const tcp::endpoint&)
            {
                if (ec2)
                    return fail (ec2);

                auto& tcpLayer = beast::get_lowest_layer (ws);
                tcpLayer.expires_never();
                tcpLayer.socket().set_option (tcp::no_delay (true), ec2);   // small frames must not wait for Nagle

                ws.set_option (websocket::stream_base::timeout::suggested (beast::role_type::client));
                ws.set_option (websocket::stream_base::decorator ([] (websocket::request_type& req)
                {
                    req.set (beast::http::field::user_agent, "Tonvia/2.5");
                }));
                ws.read_message_max (maxIncomingMessage);
                ws.auto_fragment (false);

                ws.async_handshake (target.host + ":" + target.port, target.target, [this] (beast::error_code ec3)
                {
                    if (ec3)
                        return fail (ec3);

                    onOpen();
                });
            });
        });
    }

    void onOpen()
    {
        if (closeRequested)
            return beginClose();

        handshakeDone = true;
        owner.binaryQueue.clear();          // nothing queued before the open is sent
        owner.open.store (true, std::memory_order_release);

        message.type = WebSocketMessage::Type::open;
        deliver();

        readNext();
        pollBinary();
        pumpWrites();
    }

    void readNext()
    {
        ws.async_read (readBuffer, [this] (beast::error_code ec, std::size_t)
        {
            if (ec)
                return onReadError (ec);

            const auto data = readBuffer.cdata();
            message.type = WebSocketMessage::Type::message;
            message.binary = ws.got_binary();
            message.payload.assign (static_cast<const char*> (data.data()), data.size());
            readBuffer.consume (readBuffer.size());
            deliver();

            readNext();
        });
    }

    void onReadError (beast::error_code ec)
    {
        if (closing)
            return;   // the close handshake's completion ends the session

        if (closeRequested)
            return finish();

        // A clean close from the server, or the connection simply ending, is a close; anything
        // else is an error with its reason.
        if (ec == websocket::error::closed || ec == asio::error::eof || ec == asio::error::connection_reset)
        {
            owner.open.store (false, std::memory_order_release);
            message.type = WebSocketMessage::Type::close;
            deliver();
            return finish();
        }

        fail (ec);
    }

    void pollBinary()
    {
        pollTimer.expires_after (binaryPollInterval);
        pollTimer.async_wait ([this] (beast::error_code ec)
        {
            if (ec || finished)
                return;

            pumpWrites();
            pollBinary();
        });
    }

    void pumpWrites()
    {
        if (writing || ! handshakeDone || finished)
            return;

        if (closeRequested)
            return beginClose();

        {
            const std::lock_guard lock (textLock);

            if (! texts.empty())
            {
                currentText = std::move (texts.front());
                texts.pop_front();
                writing = true;
            }
        }

        if (writing)
        {
            ws.text (true);
            ws.async_write (asio::buffer (currentText), [this] (beast::error_code ec, std::size_t) { onWritten (ec, false); });
            return;
        }

        const auto frame = owner.binaryQueue.front();

        if (frame.data() == nullptr)
            return;

        writing = true;
        ws.binary (true);
        ws.async_write (asio::buffer (frame.data(), frame.size()), [this] (beast::error_code ec, std::size_t) { onWritten (ec, true); });
    }

    void onWritten (beast::error_code ec, bool wasBinary)
    {
        writing = false;

        if (wasBinary)
            owner.binaryQueue.pop();

        if (ec)
        {
            if (closeRequested)
                return finish();

            return fail (ec);
        }

        pumpWrites();
    }

    void beginClose()
    {
        if (closing || finished)
            return;

        owner.open.store (false, std::memory_order_release);

        if (! handshakeDone)
        {
            // Still resolving, connecting or handshaking: abandon the attempt.
            closing = true;
            resolver.cancel();
            beast::get_lowest_layer (ws).close();
            return finish();
        }

        if (writing)
            return;   // the write's completion comes back here

        closing = true;
        closeTimer.expires_after (closeTimeout);
        closeTimer.async_wait ([this] (beast::error_code ec)
        {
            if (! ec)
                beast::get_lowest_layer (ws).close();
        });

        ws.async_close (closeReason, [this] (beast::error_code) { finish(); });
    }

    void finish()
    {
        if (finished)
            return;

        finished = true;
        owner.open.store (false, std::memory_order_release);
        pollTimer.cancel();
        closeTimer.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer (ws).socket().close (ignored);
        ioc.stop();
    }

    void fail (beast::error_code ec) { fail (ec.message()); }

    void fail (std::string reason)
    {
        owner.open.store (false, std::memory_order_release);

        if (! closeRequested)
        {
            message.type = WebSocketMessage::Type::error;
            message.errorReason = std::move (reason);
            deliver();
        }

        finish();
    }

    void deliver()
    {
        if (stopRequested.load (std::memory_order_acquire) || ! owner.callback)
            return;

        owner.callback (message);
        message.payload.clear();
        message.errorReason.clear();
        message.binary = false;
    }

    WebSocketClient& owner;
    const std::string url;
    WsUrl target;

    asio::io_context ioc { 1 };
    tcp::resolver resolver { ioc };
    websocket::stream<beast::tcp_stream> ws { ioc };
    asio::steady_timer pollTimer { ioc }, closeTimer { ioc };
    beast::flat_buffer readBuffer;
    WebSocketMessage message;

    std::mutex textLock;
    std::deque<std::string> texts;
    std::string currentText;

    websocket::close_reason closeReason;
    bool handshakeDone = false, writing = false, closing = false, finished = false, closeRequested = false;
    std::atomic<bool> stopRequested { false };
    std::thread thread;
};

//==============================================================================
WebSocketClient::WebSocketClient (std::size_t binaryQueueBytes)
    : binaryQueue (binaryQueueBytes)
{
}

WebSocketClient::~WebSocketClient()
{
    stop();
}

void WebSocketClient::setUrl (std::string newUrl)
{
    url = std::move (newUrl);
}

void WebSocketClient::setOnMessageCallback (MessageCallback newCallback)
{
    callback = std::move (newCallback);
}

void WebSocketClient::start()
{
    if (session != nullptr)
        return;

    session = std::make_unique<Session> (*this, url);
    session->run();
}

void WebSocketClient::stop (std::uint16_t code, std::string_view reason)
{
    if (session == nullptr)
        return;

    open.store (false, std::memory_order_release);
    session->shutdown (code, std::string (reason));
    session.reset();
}

bool WebSocketClient::sendText (std::string text)
{
    if (session == nullptr || ! isOpen())
        return false;

    session->queueText (std::move (text));
    return true;
}

bool WebSocketClient::sendBinary (const void* data, std::size_t size) noexcept
{
    return isOpen() && binaryQueue.push (data, size);
}

std::uint8_t* WebSocketClient::beginBinary (std::size_t size) noexcept
{
    return isOpen() ? binaryQueue.beginWrite (size) : nullptr;
}

void WebSocketClient::commitBinary() noexcept
{
    binaryQueue.commitWrite();
}

} // namespace tonvia
