#include "RelaySession.h"

#include "AudioFrame.h"
#include "ConnectionRegistry.h"
#include "Log.h"

#include <nlohmann/json.hpp>

namespace tonvia::server
{
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace asio = boost::asio;
using json = nlohmann::json;

namespace
{
// A text queued beyond this many times the frame bound means the peer has stopped reading.
constexpr std::size_t textBacklogFactor = 4;

// Announcements are passed on rebuilt from their known members only, so that whatever else a
// client put in its message never reaches the others.
std::shared_ptr<const std::string> cleanAnnouncement (const json& message)
{
    json clean = { { "type", "stream" } };

    for (const char* key : { "name", "streamId", "direction" })
        if (const auto found = message.find (key); found != message.end() && found->is_primitive() && ! found->is_null())
            clean[key] = *found;

    return std::make_shared<const std::string> (clean.dump());
}
} // namespace

RelaySession::RelaySession (beast::tcp_stream stream, Relay& relayIn, ConnectionRegistry& registryIn)
    : ws (std::move (stream)), relay (relayIn), registry (registryIn), joinTimer (ws.get_executor())
{
}

RelaySession::~RelaySession()
{
    if (connectionId != 0)
        registry.remove (connectionId);
}

void RelaySession::run (Request request)
{
    beast::error_code ec;
    const auto endpoint = beast::get_lowest_layer (ws).socket().remote_endpoint (ec);
    remote = ec ? "?" : endpoint.address().to_string() + ":" + std::to_string (endpoint.port());

    connectionId = registry.add ([weak = weak_from_this()]
    {
        if (auto self = weak.lock())
            self->goAway();
    });

    beast::get_lowest_layer (ws).expires_never();

    websocket::stream_base::timeout timeouts {};
    timeouts.handshake_timeout = std::chrono::seconds (10);
    timeouts.idle_timeout = relay.limits().idleTimeout;
    timeouts.keep_alive_pings = true;
    ws.set_option (timeouts);
    ws.read_message_max (relay.limits().maxMessageBytes);
    ws.auto_fragment (false);
    ws.set_option (websocket::stream_base::decorator ([] (websocket::response_type& res)
    {
        res.set (beast::http::field::server, "tonvia-server");
    }));

    ws.async_accept (request, [self = shared_from_this()] (beast::error_code acceptError)
    {
        if (acceptError)
            return self->finish ("handshake failed: " + acceptError.message());

        logLine ("connect " + std::to_string (self->connectionId) + " from " + self->remote);

        self->joinTimer.expires_after (self->relay.limits().joinTimeout);
        self->joinTimer.async_wait ([weak = self->weak_from_this()] (beast::error_code timerError)
        {
            if (auto s = weak.lock(); s != nullptr && ! timerError && ! s->joined)
                s->refuse ("no join in time");
        });

        self->readNext();
    });
}

void RelaySession::readNext()
{
    ws.async_read (readBuffer, [self = shared_from_this()] (beast::error_code ec, std::size_t)
    {
        if (ec)
        {
            if (ec == websocket::error::closed)
                return self->finish ("closed by peer (" + std::to_string (self->ws.reason().code) + ")");

            return self->finish (ec.message());
        }

        self->onMessage();
        self->readBuffer.consume (self->readBuffer.size());

        if (! self->closing)
            self->readNext();
    });
}

void RelaySession::onMessage()
{
    const auto data = readBuffer.cdata();
    const auto* bytes = static_cast<const char*> (data.data());

    if (! ws.got_binary())
    {
        const std::string text (bytes, data.size());
        return joined ? onMemberText (text) : onJoin (text);
    }

    if (! joined)
        return refuse ("join first");

    if (memberRole != Relay::Role::send
        || ! wire::parseFrame (reinterpret_cast<const std::uint8_t*> (bytes), data.size()))
    {
        ++relay.stats().framesRejected;
        return;
    }

    relay.forwardFrame (*this, std::make_shared<const std::string> (bytes, data.size()));
}

void RelaySession::onJoin (const std::string& text)
{
    const auto message = json::parse (text, nullptr, false);

    if (! message.is_object() || message.value ("type", json()) != "join")
        return refuse ("join first");

    const auto tokenField = message.value ("token", json());
    const auto roleField = message.value ("role", json());

    if (! tokenField.is_string() || tokenField.get<std::string>().empty())
        return refuse ("room token missing");

    if (roleField != "send" && roleField != "receive")
        return refuse ("unknown role");

    if (! relay.acceptsToken (tokenField.get<std::string>()))
        return refuse ("room token refused");

    token = tokenField.get<std::string>();
    memberRole = roleField == "send" ? Relay::Role::send : Relay::Role::receive;
    joined = true;
    joinTimer.cancel();
    relay.join (shared_from_this());

    logLine ("join " + std::to_string (connectionId) + " " + roomLabel (token) + " as "
             + (memberRole == Relay::Role::send ? "send" : "receive"));
}

void RelaySession::onMemberText (const std::string& text)
{
    const auto message = json::parse (text, nullptr, false);

    // Anything but a stream announcement (a second join included) is ignored.
    if (! message.is_object() || message.value ("type", json()) != "stream")
        return;

    lastAnnouncement = cleanAnnouncement (message);
    relay.announce (*this, lastAnnouncement);
}

void RelaySession::refuse (const char* why)
{
    logLine ("refuse " + std::to_string (connectionId) + ": " + why);
    closeWith (websocket::close_code::policy_error, why);
}

void RelaySession::goAway()
{
    closeWith (websocket::close_code::going_away, "going away");
}

void RelaySession::stopTakingPart()
{
    closing = true;
    joinTimer.cancel();

    if (joined)
    {
        relay.leave (*this);
        logLine ("leave " + std::to_string (connectionId) + " " + roomLabel (token));
        joined = false;
    }

    // Queued messages are dropped, but not one that a write in flight is still using.
    while (queue.size() > (writing ? 1u : 0u))
    {
        queuedBytes -= queue.back().data->size();
        queue.pop_back();
    }
}

void RelaySession::closeWith (websocket::close_code code, const std::string& reason)
{
    if (closing || finished)
        return;

    stopTakingPart();
    pendingClose = websocket::close_reason (code, reason);

    if (! writing)
        writeNext();
}

bool RelaySession::send (const std::shared_ptr<const std::string>& message, bool binary)
{
    if (closing || finished)
        return false;

    const auto limit = relay.limits().maxQueuedBytes;

    if (binary && queuedBytes + message->size() > limit)
        return false;

    if (! binary && queuedBytes + message->size() > limit * textBacklogFactor)
    {
        // Closed from a fresh handler: the caller may be walking the room's member list.
        asio::post (ws.get_executor(), [self = shared_from_this()]
        {
            self->closeWith (websocket::close_code::policy_error, "not reading");
        });
        return false;
    }

    queue.push_back ({ message, binary });
    queuedBytes += message->size();

    if (auto& largest = relay.stats().largestQueueBytes; queuedBytes > largest.load (std::memory_order_relaxed))
        largest.store (queuedBytes, std::memory_order_relaxed);

    if (! writing)
        writeNext();

    return true;
}

void RelaySession::writeNext()
{
    if (queue.empty())
    {
        if (pendingClose && ! finished)
        {
            writing = true;
            // A peer that never answers the close is cut off by the stream's own timeout.
            ws.async_close (*pendingClose, [self = shared_from_this()] (beast::error_code)
            {
                self->writing = false;
                self->finish ("closed: " + std::string (self->pendingClose->reason.c_str()));
            });
            pendingClose.reset();
        }

        return;
    }

    writing = true;
    const auto& next = queue.front();
    ws.binary (next.binary);
    ws.async_write (asio::buffer (*next.data), [self = shared_from_this()] (beast::error_code ec, std::size_t)
    {
        // The message stayed at the front of the queue, alive, while the write used it.
        self->writing = false;
        self->queuedBytes -= self->queue.front().data->size();
        self->queue.pop_front();

        if (self->finished)
            return;

        if (ec)
            return self->finish (ec.message());

        self->writeNext();
    });
}

void RelaySession::finish (const std::string& why)
{
    if (finished)
        return;

    finished = true;
    stopTakingPart();

    if (connectionId != 0)
        logLine ("close " + std::to_string (connectionId) + ": " + why);

    beast::error_code ignored;
    beast::get_lowest_layer (ws).socket().shutdown (asio::ip::tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer (ws).socket().close (ignored);
}

} // namespace tonvia::server
