// The WebSocket layer against a small Beast server on a loopback port.

#include <gtest/gtest.h>

#include "WebSocketClient.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"

#include <boost/asio.hpp>

#include <mutex>

using tonvia::WebSocketClient;
using tonvia::WebSocketMessage;
using testing_support::LoopbackPeer;
using testing_support::waitUntil;

namespace
{
// Records every event the client reports, from its own thread.
struct EventLog
{
    mutable std::mutex mutex;
    std::vector<WebSocketMessage> events;

    WebSocketClient::MessageCallback callback()
    {
        return [this] (const WebSocketMessage& m)
        {
            const std::lock_guard lock (mutex);
            events.push_back (m);
        };
    }

    std::vector<WebSocketMessage> snapshot() const
    {
        const std::lock_guard lock (mutex);
        return events;
    }

    size_t count (WebSocketMessage::Type type) const
    {
        const std::lock_guard lock (mutex);
        return (size_t) std::count_if (events.begin(), events.end(), [type] (const auto& m) { return m.type == type; });
    }
};

int unusedLoopbackPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor (ioc, { boost::asio::ip::make_address ("127.0.0.1"), 0 });
    return acceptor.local_endpoint().port();   // closed again when this returns: nothing listens
}
} // namespace

TEST (WebSocketClient, OpensExchangesTextAndBinaryBothWaysAndClosesNormally)
{
    LoopbackPeer peer;
    EventLog log;
    WebSocketClient client;
    client.setUrl (peer.url());
    client.setOnMessageCallback (log.callback());
    client.start();

    ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::open) == 1; }));
    EXPECT_TRUE (client.isOpen());

    EXPECT_TRUE (client.sendText ("hello"));
    const std::string binary ("\x00\x01\x02\xff", 4);
    EXPECT_TRUE (client.sendBinary (binary.data(), binary.size()));
    ASSERT_TRUE (peer.waitForMessages (2));

    const auto received = peer.messages();
    EXPECT_FALSE (received[0].binary);
    EXPECT_EQ ("hello", received[0].data);
    EXPECT_TRUE (received[1].binary);
    EXPECT_EQ (binary, received[1].data);

    peer.sendText ("from server");
    peer.sendBinary (std::string ("\x7f\x00", 2));
    ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::message) == 2; }));

    const auto events = log.snapshot();
    EXPECT_FALSE (events[1].binary);
    EXPECT_EQ ("from server", events[1].payload);
    EXPECT_TRUE (events[2].binary);
    EXPECT_EQ (std::string ("\x7f\x00", 2), events[2].payload);

    client.stop (1000, "Normal closure");
    EXPECT_FALSE (client.isOpen());
    ASSERT_TRUE (peer.waitForClose());
    ASSERT_TRUE (peer.lastClose().has_value());
    EXPECT_EQ (1000, peer.lastClose()->code);
    EXPECT_EQ ("Normal closure", peer.lastClose()->reason);

    // Nothing is reported once stop() has returned, not even the close it caused.
    const auto eventsAtStop = log.snapshot().size();
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    EXPECT_EQ (eventsAtStop, log.snapshot().size());
    EXPECT_EQ (0u, log.count (WebSocketMessage::Type::close));
}

TEST (WebSocketClient, RefusedPortReportsAnErrorWithAReason)
{
    EventLog log;
    WebSocketClient client;
    client.setUrl ("ws://127.0.0.1:" + std::to_string (unusedLoopbackPort()));
    client.setOnMessageCallback (log.callback());
    client.start();

    ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::error) == 1; }));
    const auto events = log.snapshot();
    ASSERT_EQ (1u, events.size());
    EXPECT_FALSE (events[0].errorReason.empty());
    EXPECT_NE (std::string::npos, events[0].errorReason.find ("refused")) << events[0].errorReason;
    EXPECT_FALSE (client.isOpen());

    // The ended thread still has to be joined before a new start does anything.
    client.start();
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    EXPECT_EQ (1u, log.snapshot().size());

    client.stop();
    client.start();
    ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::error) == 2; }));
    client.stop();
}

TEST (WebSocketClient, MalformedUrlsAreReportedAsErrors)
{
    for (const auto* url : { "http://127.0.0.1:1", "wss://127.0.0.1:1", "ws://", "ws://:80", "ws://host:port", "" })
    {
        EventLog log;
        WebSocketClient client;
        client.setUrl (url);
        client.setOnMessageCallback (log.callback());
        client.start();
        ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::error) == 1; })) << url;
        EXPECT_NE (std::string::npos, log.snapshot()[0].errorReason.find ("invalid WebSocket URL")) << url;
        client.stop();
    }
}

TEST (WebSocketClient, ServerCloseIsReportedAsClose)
{
    LoopbackPeer peer;
    EventLog log;
    WebSocketClient client;
    client.setUrl (peer.url());
    client.setOnMessageCallback (log.callback());
    client.start();
    ASSERT_TRUE (waitUntil ([&] { return client.isOpen(); }));
    ASSERT_TRUE (peer.waitForConnections (1));   // the peer has the connection in hand

    peer.close (1001, "going away");
    ASSERT_TRUE (waitUntil ([&] { return log.count (WebSocketMessage::Type::close) == 1; }));
    EXPECT_FALSE (client.isOpen());
    EXPECT_FALSE (client.sendText ("late"));
    const char byte = 1;
    EXPECT_FALSE (client.sendBinary (&byte, 1));
    client.stop();
}

TEST (WebSocketClient, BinaryBeforeOpenOrAfterStopIsDropped)
{
    LoopbackPeer peer;
    EventLog log;
    WebSocketClient client;
    const char early[] = "early";
    EXPECT_FALSE (client.sendBinary (early, sizeof (early)));   // never started
    EXPECT_EQ (nullptr, client.beginBinary (16));

    client.setUrl (peer.url());
    client.setOnMessageCallback (log.callback());
    client.start();
    ASSERT_TRUE (waitUntil ([&] { return client.isOpen(); }));
    const char frame[] = "frame";
    ASSERT_TRUE (client.sendBinary (frame, sizeof (frame)));
    ASSERT_TRUE (peer.waitForMessages (1));

    client.stop();
    EXPECT_FALSE (client.sendBinary (frame, sizeof (frame)));
    EXPECT_EQ (1u, peer.messageCount());
}

TEST (WebSocketClient, StopIsHarmlessWhenNeverStartedAndWhileConnecting)
{
    {
        WebSocketClient client;
        client.stop();
        client.stop (1000, "Normal closure");
    }
    {
        // A port that accepts TCP but never answers the handshake: stop must not hang.
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::acceptor silent (ioc, { boost::asio::ip::make_address ("127.0.0.1"), 0 });
        EventLog log;
        WebSocketClient client;
        client.setUrl ("ws://127.0.0.1:" + std::to_string (silent.local_endpoint().port()));
        client.setOnMessageCallback (log.callback());
        client.start();
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        client.stop();
        EXPECT_TRUE (log.snapshot().empty());
    }
}

TEST (WebSocketClient, ManyFramesArriveInOrder)
{
    LoopbackPeer peer;
    EventLog log;
    WebSocketClient client;
    client.setUrl (peer.url());
    client.setOnMessageCallback (log.callback());
    client.start();
    ASSERT_TRUE (waitUntil ([&] { return client.isOpen(); }));

    constexpr int frames = 2000;
    int sent = 0;

    for (int i = 0; i < frames; ++i)
    {
        std::string frame (4108, '\0');
        std::memcpy (frame.data(), &i, sizeof (i));

        // A full queue drops; wait for room so the count is exact.
        while (! client.sendBinary (frame.data(), frame.size()))
            std::this_thread::sleep_for (std::chrono::microseconds (100));

        ++sent;
    }

    ASSERT_TRUE (peer.waitForMessages ((size_t) frames, std::chrono::seconds (20)));
    const auto received = peer.messages();
    ASSERT_EQ ((size_t) frames, received.size());

    for (int i = 0; i < frames; ++i)
    {
        int value;
        std::memcpy (&value, received[(size_t) i].data.data(), sizeof (value));
        ASSERT_EQ (i, value);
        ASSERT_EQ (4108u, received[(size_t) i].data.size());
    }

    client.stop();
}
