// tonvia-server's relay, with real WebSocket clients on loopback.

#include <gtest/gtest.h>

#include "ApiClient.h"
#include "AudioFrame.h"
#include "WebSocketClient.h"
#include "support/Frames.h"
#include "support/TestServer.h"
#include "support/Wait.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#include <mutex>
#include <nlohmann/json.hpp>

using testing_support::makeFrame;
using testing_support::counting;
using testing_support::TestServer;
using testing_support::waitUntil;
using tonvia::WebSocketClient;
using tonvia::WebSocketMessage;

namespace
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

// A relay member driven by the project's own WebSocket client.
class Member
{
public:
    explicit Member (const TestServer& server, bool keepFramesIn = true) : keepFrames (keepFramesIn)
    {
        client.setUrl (server.url());
        client.setOnMessageCallback ([this] (const WebSocketMessage& m)
        {
            const std::lock_guard lock (mutex);

            if (m.type == WebSocketMessage::Type::message && m.binary)
            {
                ++frameTotal;

                if (keepFrames)
                    frames.push_back (m.payload);
            }
            else if (m.type == WebSocketMessage::Type::message)
                texts.push_back (m.payload);
            else if (m.type == WebSocketMessage::Type::close || m.type == WebSocketMessage::Type::error)
                ended = true;
        });
        client.start();
        opened = waitUntil ([this] { return client.isOpen(); });
    }

    // The client's thread writes into the members below: stop it before they go.
    ~Member() { client.stop(); }

    void join (const std::string& token, const std::string& role, int announceId = 0)
    {
        client.sendText (nlohmann::json { { "type", "join" }, { "token", token }, { "role", role } }.dump (2));

        if (announceId != 0)
            client.sendText (nlohmann::json { { "type", "stream" }, { "name", "Stream " + std::to_string (announceId) },
                                              { "streamId", announceId }, { "direction", role } }.dump (2));
    }

    void sendFrame (const std::string& frame) { ASSERT_TRUE (client.sendBinary (frame.data(), frame.size())); }

    size_t frameCount() const { const std::lock_guard lock (mutex); return frameTotal; }
    std::vector<std::string> receivedFrames() const { const std::lock_guard lock (mutex); return frames; }
    std::vector<std::string> receivedTexts() const { const std::lock_guard lock (mutex); return texts; }
    bool hasEnded() const { const std::lock_guard lock (mutex); return ended; }

    bool opened = false;
    WebSocketClient client;

private:
    const bool keepFrames;
    mutable std::mutex mutex;
    std::vector<std::string> frames, texts;
    size_t frameTotal = 0;
    bool ended = false;
};

std::string stereoFrame (int seed) { return makeFrame (38848, 2, 64, counting (128, seed)); }

// A raw WebSocket that completes the handshake and then does whatever the test wants, such as
// never reading again.
struct RawSocket
{
    asio::io_context ioc;
    websocket::stream<asio::ip::tcp::socket> ws { ioc };

    explicit RawSocket (int port)
    {
        ws.next_layer().connect ({ asio::ip::make_address ("127.0.0.1"), (unsigned short) port });
        ws.handshake ("127.0.0.1", "/");
    }

    void text (const std::string& t) { ws.text (true); ws.write (asio::buffer (t)); }

    void shrinkReceiveBuffer()
    {
        ws.next_layer().set_option (asio::socket_base::receive_buffer_size (4096));
    }
};

long residentKilobytes()
{
    std::ifstream status ("/proc/self/status");
    std::string line;

    while (std::getline (status, line))
        if (line.rfind ("VmRSS:", 0) == 0)
            return std::stol (line.substr (6));

    return -1;
}
} // namespace

TEST (Relay, FramesGoFromSendersToTheReceiversOfTheSameRoomOnly)
{
    TestServer server;
    Member sender (server), receiver (server), otherReceiver (server), otherRoom (server), secondSender (server);
    ASSERT_TRUE (sender.opened && receiver.opened && otherReceiver.opened && otherRoom.opened && secondSender.opened);

    receiver.join ("room", "receive");
    otherReceiver.join ("room", "receive");
    otherRoom.join ("elsewhere", "receive");
    secondSender.join ("room", "send");
    sender.join ("room", "send");
    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 4; }));

    for (int i = 0; i < 10; ++i)
        sender.sendFrame (stereoFrame (i * 1000));

    ASSERT_TRUE (waitUntil ([&] { return receiver.frameCount() == 10 && otherReceiver.frameCount() == 10; }));
    std::this_thread::sleep_for (std::chrono::milliseconds (100));

    // Unchanged and in order; not echoed to the sender nor to the other sender; not to other rooms.
    EXPECT_EQ (stereoFrame (0), receiver.receivedFrames().front());
    EXPECT_EQ (stereoFrame (9000), receiver.receivedFrames().back());
    EXPECT_EQ (0u, sender.frameCount());
    EXPECT_EQ (0u, secondSender.frameCount());
    EXPECT_EQ (0u, otherRoom.frameCount());
}

TEST (Relay, ReceiversFramesReachNobody)
{
    TestServer server;
    Member sender (server), receiver (server), other (server);
    sender.join ("room", "send");
    receiver.join ("room", "receive");
    other.join ("room", "receive");
    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 3; }));

    receiver.sendFrame (stereoFrame (1));
    std::this_thread::sleep_for (std::chrono::milliseconds (150));
    EXPECT_EQ (0u, sender.frameCount());
    EXPECT_EQ (0u, other.frameCount());
    EXPECT_EQ (1u, server.server.relay().stats().framesRejected.load());
    EXPECT_FALSE (receiver.hasEnded());
}

TEST (Relay, AnnouncementsReachTheOthersAndNewcomersHearOfEarlierOnes)
{
    TestServer server;
    Member first (server), second (server);
    first.join ("room", "send", 11);
    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 1; }));
    std::this_thread::sleep_for (std::chrono::milliseconds (50));

    second.join ("room", "receive", 22);
    ASSERT_TRUE (waitUntil ([&] { return ! first.receivedTexts().empty() && ! second.receivedTexts().empty(); }));
    std::this_thread::sleep_for (std::chrono::milliseconds (50));

    const auto toSecond = second.receivedTexts();
    ASSERT_EQ (1u, toSecond.size());
    const auto a = nlohmann::json::parse (toSecond[0]);
    EXPECT_EQ ("stream", a["type"]);
    EXPECT_EQ (11, a["streamId"]);
    EXPECT_EQ ("send", a["direction"]);
    EXPECT_EQ ("Stream 11", a["name"]);

    const auto toFirst = first.receivedTexts();
    ASSERT_EQ (1u, toFirst.size());
    EXPECT_EQ (22, nlohmann::json::parse (toFirst[0])["streamId"]);
}

TEST (Relay, BadInputClosesOnlyTheOffenderAndTheRoomGoesOn)
{
    TestServer server;
    Member sender (server), receiver (server);
    sender.join ("room", "send");
    receiver.join ("room", "receive");
    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 2; }));

    struct Case { const char* what; std::function<void (Member&)> act; bool closes; };
    const Case cases[] = {
        { "binary before the join", [] (Member& m) { m.sendFrame (stereoFrame (1)); }, true },
        { "non-JSON text first", [] (Member& m) { m.client.sendText ("hello"); }, true },
        { "unknown role", [] (Member& m) { m.join ("room", "conductor"); }, true },
        { "empty token", [] (Member& m) { m.join ("", "send"); }, true },
        { "token of the wrong type", [] (Member& m) { m.client.sendText (R"({"type":"join","token":5,"role":"send"})"); }, true },
        { "second join is ignored", [] (Member& m) { m.join ("room", "receive"); m.join ("other", "send"); }, false },
        { "non-JSON text after the join", [] (Member& m) { m.join ("room", "send"); m.client.sendText ("{{{"); }, false },
        { "malformed frame from a sender", [] (Member& m)
          {
              m.join ("room", "send");
              auto frame = stereoFrame (5);
              frame.pop_back();
              m.sendFrame (frame);
              m.sendFrame ("TNVA");
          }, false },
        { "oversized message", [] (Member& m)
          {
              m.join ("room", "send");
              const std::string huge (2 * 1024 * 1024, 'x');
              m.client.sendText (huge);
          }, true },
    };

    int expectedFrames = 0;

    for (const auto& c : cases)
    {
        Member offender (server);
        ASSERT_TRUE (offender.opened) << c.what;
        c.act (offender);

        if (c.closes)
            EXPECT_TRUE (waitUntil ([&] { return offender.hasEnded(); })) << c.what;
        else
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
            EXPECT_FALSE (offender.hasEnded()) << c.what;
        }

        // The room's members still hear each other.
        sender.sendFrame (stereoFrame (++expectedFrames));
        EXPECT_TRUE (waitUntil ([&] { return receiver.frameCount() == (size_t) expectedFrames; })) << c.what;
        EXPECT_FALSE (sender.hasEnded()) << c.what;
        EXPECT_FALSE (receiver.hasEnded()) << c.what;
    }

    // No malformed frame was forwarded: every frame the receiver got is one the sender sent.
    for (const auto& f : receiver.receivedFrames())
        EXPECT_TRUE (tonvia::wire::parseFrame (reinterpret_cast<const std::uint8_t*> (f.data()), f.size()).has_value());
}

TEST (Relay, ASilentJoinerIsClosedAfterTheJoinTimeout)
{
    tonvia::server::ServerOptions options;
    options.relay.joinTimeout = std::chrono::milliseconds (200);
    TestServer server (options);
    Member quiet (server);
    ASSERT_TRUE (quiet.opened);
    EXPECT_TRUE (waitUntil ([&] { return quiet.hasEnded(); }));
}

TEST (Relay, AReceiverThatStopsReadingStallsNobodyAndMemoryStaysBounded)
{
    TestServer server;
    Member sender (server), goodReceiver (server, false);
    sender.join ("room", "send");
    goodReceiver.join ("room", "receive");

    RawSocket stuck (server.port());
    stuck.shrinkReceiveBuffer();
    stuck.text (R"({"type":"join","token":"room","role":"receive"})");
    ASSERT_TRUE (waitUntil ([&] { return server.server.memberCount ("room") == 3; }));

    // About 20 MB of frames towards a receiver that reads nothing, at 16 MB/s: far above an
    // audio stream's rate, yet a receiver that reads keeps up with it.
    const auto frame = makeFrame (38848, 2, 4096, counting (8192));
    const long before = residentKilobytes();
    constexpr int frames = 600;

    for (int i = 0; i < frames; ++i)
    {
        while (! sender.client.sendBinary (frame.data(), frame.size()))
            std::this_thread::sleep_for (std::chrono::microseconds (200));

        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }

    ASSERT_TRUE (waitUntil ([&] { return goodReceiver.frameCount() == (size_t) frames; }, std::chrono::seconds (30)))
        << goodReceiver.frameCount();

    const auto& stats = server.server.relay().stats();
    EXPECT_GT (stats.framesDropped.load(), 0u);
    EXPECT_LE (stats.largestQueueBytes.load(), server.server.relay().limits().maxQueuedBytes);

   #if ! defined (__SANITIZE_ADDRESS__) && ! defined (__SANITIZE_THREAD__)   // sanitizers keep memory of their own
    const long grown = residentKilobytes() - before;
    EXPECT_LT (grown, 16 * 1024) << "kB grown while queueing for a stuck receiver";
   #else
    (void) before;
   #endif
}

TEST (Relay, HundredsOfAbruptDropsLeaveNothingBehind)
{
    TestServer server;

    for (int round = 0; round < 300; ++round)
    {
        RawSocket s (server.port());

        if (round % 3 != 0)
            s.text (std::string (R"({"type":"join","token":"room-)") + std::to_string (round % 7) + R"(","role":")"
                    + (round % 2 ? "send" : "receive") + "\"}");

        if (round % 5 == 0)
        {
            const auto frame = stereoFrame (round);
            s.ws.binary (true);
            s.ws.write (asio::buffer (frame));
        }

        // Dropped without a close frame.
        beast::error_code ignored;
        s.ws.next_layer().close (ignored);
    }

    EXPECT_TRUE (waitUntil ([&] { return server.server.connectionCount() == 0; }));
    EXPECT_EQ (0u, server.server.roomCount());
}

TEST (Relay, PlainHttpRequestsGetAJsonAnswer)
{
    TestServer server;
    asio::io_context ioc;
    asio::ip::tcp::socket socket (ioc);
    socket.connect ({ asio::ip::make_address ("127.0.0.1"), (unsigned short) server.port() });
    const std::string request = "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    asio::write (socket, asio::buffer (request));
    std::string reply;
    beast::error_code ec;
    char chunk[1024];

    while (true)
    {
        const auto n = socket.read_some (asio::buffer (chunk), ec);
        reply.append (chunk, n);
        if (ec)
            break;
    }

    EXPECT_EQ (0u, reply.find ("HTTP/1.1 404"));
    EXPECT_NE (std::string::npos, reply.find ("application/json"));
    EXPECT_NE (std::string::npos, reply.find (R"({"ok":false,"error":"not_found"})"));
}

TEST (RelayProcess, SigtermClosesEveryoneWithGoingAwayAndExitsZero)
{
    int out[2];
    ASSERT_EQ (0, pipe (out));
    const pid_t pid = fork();
    ASSERT_GE (pid, 0);

    if (pid == 0)
    {
        dup2 (out[1], 1);
        close (out[0]);
        const int devnull = open ("/dev/null", O_WRONLY);
        dup2 (devnull, 2);
        execl (TONVIA_SERVER_PATH, "tonvia-server", "--port", "0", "--db", ":memory:", (char*) nullptr);
        _exit (127);
    }

    close (out[1]);
    char portText[16] {};
    ASSERT_GT (read (out[0], portText, sizeof (portText) - 1), 0);
    close (out[0]);
    const int port = std::atoi (portText);
    ASSERT_GT (port, 0);

    // The real server admits only room tokens it issued: get one as a user would.
    ApiClient api;
    api.setBaseUrl ("http://127.0.0.1:" + juce::String (port));
    ASSERT_TRUE (api.registerUser ("sigterm@example.com", "password one").ok);
    const auto session = api.startSession (api.me().userId);
    ASSERT_TRUE (session.ok) << session.error;

    std::vector<std::unique_ptr<RawSocket>> members;

    for (int i = 0; i < 3; ++i)
    {
        members.push_back (std::make_unique<RawSocket> (port));
        members.back()->text (R"({"type":"join","token":")" + session.roomToken.toStdString() + R"(","role":")" + (i == 0 ? "send" : "receive") + "\"}");
    }

    std::this_thread::sleep_for (std::chrono::milliseconds (100));
    ASSERT_EQ (0, kill (pid, SIGTERM));

    for (auto& m : members)
    {
        beast::flat_buffer buffer;
        beast::error_code ec;
        m->ws.read (buffer, ec);
        EXPECT_EQ (websocket::error::closed, ec) << ec.message();
        EXPECT_EQ (1001, m->ws.reason().code);
        EXPECT_EQ ("going away", std::string (m->ws.reason().reason.c_str()));
    }

    int status = 0;
    ASSERT_EQ (pid, waitpid (pid, &status, 0));
    EXPECT_TRUE (WIFEXITED (status));
    EXPECT_EQ (0, WEXITSTATUS (status));
}
