// The account service: the plug-in's own client against the real server, the road from an
// account to streaming on a room token, and the server's answers to bad input.

#include <gtest/gtest.h>

#include "ApiClient.h"
#include "PluginProcessor.h"
#include "support/AccountTestServer.h"
#include "support/Wait.h"

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

using testing_support::AccountTestServer;
using testing_support::waitUntil;
using json = nlohmann::json;

namespace
{
ApiClient clientFor (const AccountTestServer& server)
{
    ApiClient client;
    client.setBaseUrl (server.httpUrl());
    return client;
}

struct RawReply
{
    int status = 0;
    json body;
    std::string raw;
};

// Sends the bytes as they are and reads the whole reply (the request asks to close).
RawReply rawRequest (int port, const std::string& bytes)
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket (ioc);
    socket.connect ({ boost::asio::ip::make_address ("127.0.0.1"), (unsigned short) port });
    boost::system::error_code ec;
    boost::asio::write (socket, boost::asio::buffer (bytes), ec);
    RawReply reply;
    char chunk[4096];

    for (;;)
    {
        const auto n = socket.read_some (boost::asio::buffer (chunk), ec);
        reply.raw.append (chunk, n);
        if (ec)
            break;
    }

    if (reply.raw.rfind ("HTTP/1.1 ", 0) == 0)
        reply.status = std::stoi (reply.raw.substr (9, 3));

    if (const auto start = reply.raw.find ("\r\n\r\n"); start != std::string::npos)
        reply.body = json::parse (reply.raw.substr (start + 4), nullptr, false);

    return reply;
}

RawReply request (int port, const std::string& method, const std::string& path, const std::string& body,
                  const std::string& bearer = {}, const std::string& extraHeaders = {})
{
    std::string bytes = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n";

    if (! bearer.empty())
        bytes += "Authorization: Bearer " + bearer + "\r\n";

    bytes += extraHeaders;
    bytes += "Content-Length: " + std::to_string (body.size()) + "\r\n\r\n" + body;
    return rawRequest (port, bytes);
}
} // namespace

TEST (Accounts, TheClientsWholeRoadAgainstTheRealServer)
{
    AccountTestServer server;
    auto alice = clientFor (server);
    auto bob = clientFor (server);

    const auto registered = alice.registerUser ("  Alice@Example.com ", "correct horse");
    ASSERT_TRUE (registered.ok) << registered.error;
    EXPECT_EQ (64, registered.token.length());
    EXPECT_EQ (juce::String ("Alice@Example.com"), registered.email.trim());
    EXPECT_FALSE (registered.userId.isEmpty());

    // E-mail addresses are compared without regard to case.
    EXPECT_EQ (juce::String ("email_taken"), clientFor (server).registerUser ("alice@example.COM", "another one").error);

    const auto bobRegistered = bob.registerUser ("bob@example.com", "bobs password");
    ASSERT_TRUE (bobRegistered.ok);

    const auto loggedIn = clientFor (server).login ("ALICE@example.com", "correct horse");
    EXPECT_TRUE (loggedIn.ok);
    EXPECT_EQ (registered.userId, loggedIn.userId);
    EXPECT_EQ (juce::String ("invalid_credentials"), clientFor (server).login ("alice@example.com", "wrong horse").error);

    const auto me = alice.me();
    ASSERT_TRUE (me.ok);
    EXPECT_EQ (registered.userId, me.userId);

    // A stranger: no session.
    EXPECT_EQ (juce::String ("not_friends"), alice.startSession (bobRegistered.userId).error);

    juce::String error;
    EXPECT_TRUE (alice.addFriend ("BOB@example.com", error)) << error;
    EXPECT_FALSE (alice.addFriend ("nobody@example.com", error));

    // Mutual: each sees the other.
    const auto aliceFriends = alice.getFriends (error);
    ASSERT_EQ (1, aliceFriends.size());
    EXPECT_EQ (bobRegistered.userId, aliceFriends[0].userId);
    const auto bobFriends = bob.getFriends (error);
    ASSERT_EQ (1, bobFriends.size());
    EXPECT_EQ (registered.userId, bobFriends[0].userId);
    EXPECT_EQ (juce::String ("Alice@Example.com"), bobFriends[0].email);

    // Both ends of the pair get the same room token; a self session is its own room.
    const auto fromAlice = alice.startSession (bobRegistered.userId);
    const auto fromBob = bob.startSession (registered.userId);
    ASSERT_TRUE (fromAlice.ok && fromBob.ok);
    EXPECT_EQ (fromAlice.roomToken, fromBob.roomToken);
    EXPECT_EQ (fromAlice.sessionId, fromBob.sessionId);
    EXPECT_EQ (64, fromAlice.roomToken.length());

    const auto selfOne = alice.startSession (me.userId);
    const auto selfTwo = alice.startSession (registered.userId);
    ASSERT_TRUE (selfOne.ok);
    EXPECT_EQ (selfOne.roomToken, selfTwo.roomToken);
    EXPECT_NE (selfOne.roomToken, fromAlice.roomToken);

    // The room token opens the relay: audio from one instance reaches the other.
    TonviaProcessor sender, receiver;

    for (auto* p : { &receiver, &sender })
    {
        p->bridge.signalingUrl = server.wsUrl();
        p->sessionToken = fromAlice.roomToken;
        p->mode = p == &sender ? 0 : 1;
        p->toggleConnection();
        ASSERT_TRUE (waitUntil ([p] { return p->bridge.connected.load() && p->bridge.getStatus() == "Connected"; }));
    }

    ASSERT_TRUE (waitUntil ([&] { return server.server->memberCount (fromAlice.roomToken.toStdString()) == 2; }));
    juce::AudioBuffer<float> block (2, 256);
    block.clear();
    block.setSample (0, 0, 0.25f);
    juce::MidiBuffer midi;
    sender.processBlock (block, midi);
    ASSERT_TRUE (waitUntil ([&] { return receiver.bridge.heldSamples() == 512; }));
    EXPECT_EQ (0.25f, receiver.bridge.ring[0]);
}

TEST (Accounts, ForgedOrExpiredRoomTokensAreRefusedByTheRelay)
{
    AccountTestServer server;
    auto alice = clientFor (server);
    ASSERT_TRUE (alice.registerUser ("a@example.com", "password one").ok);
    const auto session = alice.startSession (alice.me().userId);
    ASSERT_TRUE (session.ok);

    auto joins = [&] (const juce::String& token)
    {
        TonviaProcessor p;
        p.bridge.signalingUrl = server.wsUrl();
        p.sessionToken = token;
        p.toggleConnection();
        waitUntil ([&] { return p.bridge.connected.load(); });
        // A refused join ends in a policy-violation close shortly after the open.
        const bool closed = waitUntil ([&] { return ! p.bridge.connected.load(); }, std::chrono::milliseconds (1500));
        return ! closed;
    };

    EXPECT_TRUE (joins (session.roomToken));
    EXPECT_FALSE (joins (juce::String::repeatedString ("0", 64)));
    EXPECT_FALSE (joins ("forged"));

    server.store->ageEverything (std::chrono::hours (13));
    EXPECT_FALSE (joins (session.roomToken));

    // Starting the session again opens a new room.
    auto again = clientFor (server);
    ASSERT_TRUE (again.login ("a@example.com", "password one").ok);
    const auto renewed = again.startSession (again.me().userId);
    EXPECT_NE (session.roomToken, renewed.roomToken);
    EXPECT_TRUE (joins (renewed.roomToken));
}

TEST (Accounts, EverythingSurvivesARestartOnTheSameFile)
{
    const auto path = AccountTestServer::freshPath();
    juce::String token, roomToken, userId;

    {
        AccountTestServer first (path);
        auto alice = clientFor (first);
        auto bob = clientFor (first);
        ASSERT_TRUE (alice.registerUser ("a@example.com", "password one").ok);
        ASSERT_TRUE (bob.registerUser ("b@example.com", "password two").ok);
        juce::String error;
        ASSERT_TRUE (alice.addFriend ("b@example.com", error));
        userId = bob.me().userId;
        roomToken = alice.startSession (userId).roomToken;
        token = alice.getToken();
    }

    AccountTestServer second (path);
    auto alice = clientFor (second);
    alice.setToken (token);
    EXPECT_TRUE (alice.me().ok);
    juce::String error;
    EXPECT_EQ (1, alice.getFriends (error).size());
    EXPECT_EQ (roomToken, alice.startSession (userId).roomToken);
    EXPECT_TRUE (clientFor (second).login ("b@example.com", "password two").ok);
}

TEST (Accounts, ANewerDatabaseIsRefusedAndAnOlderOneMigrated)
{
    const auto path = AccountTestServer::freshPath();
    {
        tonvia::server::Database db (path);
        db.exec ("PRAGMA user_version = 99");
    }
    EXPECT_THROW (tonvia::server::AccountStore store (path), tonvia::server::DatabaseError);

    const auto fresh = AccountTestServer::freshPath();
    {
        tonvia::server::AccountStore store (fresh);
    }
    tonvia::server::Database db (fresh);
    auto version = db.prepare ("PRAGMA user_version");
    ASSERT_TRUE (version.step());
    EXPECT_EQ (tonvia::server::AccountStore::schemaVersion, version.integer (0));
}

TEST (Accounts, BadInputGetsAJsonErrorEveryTime)
{
    AccountTestServer server;
    const int port = server.port();
    auto alice = clientFor (server);
    ASSERT_TRUE (alice.registerUser ("a@example.com", "password one").ok);
    const auto token = alice.getToken().toStdString();

    struct Case
    {
        const char* what;
        std::string method, path, body, bearer;
        int status;
        const char* error;
    };

    const std::string huge (200 * 1024, 'x');
    const Case cases[] = {
        { "malformed JSON", "POST", "/api/auth/login", "{\"email\":", "", 400, "bad_json" },
        { "not an object", "POST", "/api/auth/login", "[1,2]", "", 400, "bad_request" },
        { "wrong member types", "POST", "/api/auth/login", R"({"email":5,"password":true})", "", 400, "bad_request" },
        { "missing password", "POST", "/api/auth/register", R"({"email":"x@example.com"})", "", 400, "bad_request" },
        { "short password", "POST", "/api/auth/register", R"({"email":"x@example.com","password":"short"})", "", 400, "weak_password" },
        { "no @", "POST", "/api/auth/register", R"({"email":"nobody","password":"long enough"})", "", 400, "bad_email" },
        { "SQL in the address", "POST", "/api/auth/register", R"({"email":"x'); DROP TABLE users;--@x.com","password":"long enough"})", "", 400, "bad_email" },
        { "SQL quotes, valid", "POST", "/api/auth/register", R"({"email":"o'brien\"--@example.com","password":"long enough"})", "", 200, nullptr },
        { "odd Unicode", "POST", "/api/auth/register", "{\"email\":\"\xe2\x80\xae\xf0\x9f\x8e\xb5@\xe4\xbe\x8b.com\",\"password\":\"long enough\"}", "", 200, nullptr },
        { "invalid UTF-8", "POST", "/api/auth/register", "{\"email\":\"\xff\xfe@x.com\",\"password\":\"long enough\"}", "", 400, "bad_json" },
        { "duplicate", "POST", "/api/auth/register", R"({"email":"A@EXAMPLE.com","password":"long enough"})", "", 409, "email_taken" },
        { "wrong password", "POST", "/api/auth/login", R"({"email":"a@example.com","password":"wrong one"})", "", 401, "invalid_credentials" },
        { "no bearer", "GET", "/api/me", "", "", 401, "unauthorized" },
        { "unknown bearer", "GET", "/api/friends", "", std::string (64, 'f'), 401, "unauthorized" },
        { "stranger session", "POST", "/api/sessions/start", R"({"friendId":"999999"})", token, 404, "unknown_user" },
        { "friendId not digits", "POST", "/api/sessions/start", R"({"friendId":"1 OR 1=1"})", token, 404, "unknown_user" },
        { "friendId missing", "POST", "/api/sessions/start", R"({})", token, 400, "bad_request" },
        { "unknown path", "GET", "/api/nothing", "", token, 404, "not_found" },
        { "wrong method", "GET", "/api/auth/login", "", "", 405, "method_not_allowed" },
        { "huge body", "POST", "/api/auth/login", huge, "", 413, "too_large" },
    };

    for (const auto& c : cases)
    {
        const auto reply = request (port, c.method, c.path, c.body, c.bearer);
        EXPECT_EQ (c.status, reply.status) << c.what << "\n" << reply.raw.substr (0, 300);
        ASSERT_TRUE (reply.body.is_object()) << c.what << "\n" << reply.raw.substr (0, 300);
        EXPECT_EQ (c.error == nullptr, reply.body.value ("ok", false)) << c.what;

        if (c.error != nullptr)
            EXPECT_EQ (c.error, reply.body.value ("error", std::string())) << c.what;
    }

    // Nothing was corrupted: the first account still works, and the server answers others.
    EXPECT_TRUE (clientFor (server).login ("a@example.com", "password one").ok);
    EXPECT_TRUE (alice.me().ok);
}

TEST (Accounts, FailedLoginsAndRegistrationsAreRateLimitedPerAddress)
{
    tonvia::server::AccountLimits limits;
    limits.failedLoginsPerWindow = 3;
    limits.registrationsPerWindow = 2;
    AccountTestServer server ({}, limits);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (juce::String ("invalid_credentials"), clientFor (server).login ("x@example.com", "password").error);

    EXPECT_EQ (juce::String ("rate_limited"), clientFor (server).login ("x@example.com", "password").error);

    EXPECT_TRUE (clientFor (server).registerUser ("r1@example.com", "password one").ok);
    EXPECT_TRUE (clientFor (server).registerUser ("r2@example.com", "password one").ok);
    EXPECT_EQ (juce::String ("rate_limited"), clientFor (server).registerUser ("r3@example.com", "password one").error);

    const auto reply = request (server.port(), "POST", "/api/auth/register", R"({"email":"r4@example.com","password":"password one"})");
    EXPECT_EQ (429, reply.status);
}
