// The account client against a scripted HTTP server: the transport's rules, and how each
// operation reads its reply.

#include <gtest/gtest.h>

#include "ApiClient.h"
#include "support/ScriptedHttpServer.h"

#include <boost/asio.hpp>

#include <sstream>

using testing_support::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Reply;

namespace
{
// Captures what the client writes to standard error while it is alive.
struct CapturedStderr
{
    std::stringstream text;
    std::streambuf* previous = std::cerr.rdbuf (text.rdbuf());
    ~CapturedStderr() { std::cerr.rdbuf (previous); }
};

ApiClient clientFor (const ScriptedHttpServer& server, const juce::String& token = {})
{
    ApiClient client;
    client.setBaseUrl (server.baseUrl());
    client.setToken (token);
    return client;
}

int unusedLoopbackPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor (ioc, { boost::asio::ip::make_address ("127.0.0.1"), 0 });
    return acceptor.local_endpoint().port();
}
} // namespace

TEST (ApiTransport, RepliesAndTheirErrors)
{
    struct Case
    {
        const char* what;
        unsigned status;
        std::string body, contentType;
        const char* expectedError;
        bool expectObject, expectArray;
    };

    const Case cases[] = {
        { "401 with a JSON object", 401, R"({"ok":false,"error":"unauthorized"})", "application/json", "", true, false },
        { "200 with an object", 200, R"({"ok":true})", "application/json", "", true, false },
        { "top-level array", 200, R"([1,2])", "application/json", "", false, true },
        { "500 with an HTML page", 500, "<html><body>Internal error</body></html>", "text/html", "bad_json", false, false },
        { "204 with no body", 204, "", "application/json", "bad_json", false, false },
        { "null", 200, "null", "application/json", "bad_json", false, false },
        { "true", 200, "true", "application/json", "bad_json", false, false },
        { "42", 200, "42", "application/json", "bad_json", false, false },
        { "a bare string", 200, "\"hello\"", "application/json", "bad_json", false, false },
        { "only white space", 200, "  \n ", "application/json", "bad_json", false, false },
        { "malformed", 200, "{\"ok\": tru", "application/json", "bad_json", false, false },
    };

    for (const auto& c : cases)
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (c.status, c.body, c.contentType));
        auto client = clientFor (server);
        CapturedStderr captured;
        juce::String error ("stale");
        const auto result = client.requestJson ("/api/me", "GET", {}, error);

        EXPECT_EQ (juce::String (c.expectedError), error) << c.what;
        EXPECT_EQ (c.expectObject, result.getDynamicObject() != nullptr) << c.what;
        EXPECT_EQ (c.expectArray, result.isArray()) << c.what;

        if (error == "bad_json")
            EXPECT_EQ ("ApiClient bad_json: " + c.body.substr (0, 200) + "\n", captured.text.str()) << c.what;
        else
            EXPECT_EQ ("", captured.text.str()) << c.what;
    }
}

TEST (ApiTransport, LogLineIsCutAfter200CharactersNeverInsideOne)
{
    // 150 ASCII characters, then two-byte and four-byte characters past the cut.
    std::string body (150, 'a');
    for (int i = 0; i < 40; ++i)
        body += "\xc3\xa9";   // é
    for (int i = 0; i < 40; ++i)
        body += "\xf0\x9f\x8e\xb5";   // a musical note

    ScriptedHttpServer server (ScriptedHttpServer::always (500, body, "text/plain; charset=utf-8"));
    auto client = clientFor (server);
    CapturedStderr captured;
    juce::String error;
    client.requestJson ("/x", "GET", {}, error);
    ASSERT_EQ (juce::String ("bad_json"), error);

    std::string expected = std::string (150, 'a');
    for (int i = 0; i < 40; ++i)
        expected += "\xc3\xa9";
    for (int i = 0; i < 10; ++i)
        expected += "\xf0\x9f\x8e\xb5";

    EXPECT_EQ ("ApiClient bad_json: " + expected + "\n", captured.text.str());
}

TEST (ApiTransport, NoReplyIsANetworkError)
{
    {
        ApiClient client;
        client.setBaseUrl ("http://127.0.0.1:" + juce::String (unusedLoopbackPort()));
        CapturedStderr captured;
        juce::String error;
        EXPECT_TRUE (client.requestJson ("/api/me", "GET", {}, error).isVoid());
        EXPECT_EQ (juce::String ("network_error"), error);
        EXPECT_EQ ("", captured.text.str());
    }
    {
        // A listener that takes the request and never answers: given up after the timeout.
        ScriptedHttpServer server ([] (const auto&) { Reply r; r.silent = true; return r; });
        auto client = clientFor (server);
        juce::String error;
        const auto started = juce::Time::getMillisecondCounterHiRes();
        EXPECT_TRUE (client.requestJson ("/api/me", "GET", {}, error).isVoid());
        EXPECT_EQ (juce::String ("network_error"), error);
        EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - started, 7000.0);
    }
}

TEST (ApiTransport, HeadersBodyAndUrl)
{
    ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":true})"));

    {   // No token: the content type, and no Authorization header at all.
        auto client = clientFor (server);
        juce::String error;
        client.requestJson ("/api/me", "GET", {}, error);
    }
    {   // A token and a body, sent on one line.
        auto client = clientFor (server, "tok-123");
        juce::DynamicObject::Ptr body (new juce::DynamicObject());
        body->setProperty ("email", "a@b.c");
        body->setProperty ("password", "p w");
        juce::String error;
        client.requestJson ("/api/auth/login", "POST", juce::var (body.get()), error);
    }
    {   // A base URL ending in a slash gives two slashes, sent as they are.
        ApiClient client;
        client.setBaseUrl (server.baseUrl() + "/");
        juce::String error;
        client.requestJson ("/api/me", "GET", {}, error);
    }

    const auto requests = server.requests();
    ASSERT_EQ (3u, requests.size());

    EXPECT_EQ ("GET", requests[0].method);
    EXPECT_EQ ("/api/me", requests[0].target);
    EXPECT_EQ ("application/json", requests[0].headers.at ("content-type"));
    EXPECT_FALSE (requests[0].hasHeader ("authorization"));
    EXPECT_EQ ("", requests[0].body);

    EXPECT_EQ ("POST", requests[1].method);
    EXPECT_EQ ("Bearer tok-123", requests[1].headers.at ("authorization"));
    EXPECT_EQ ("application/json", requests[1].headers.at ("content-type"));
    EXPECT_EQ (R"({"email": "a@b.c", "password": "p w"})", requests[1].body);

    EXPECT_EQ ("//api/me", requests[2].target);
}

TEST (ApiTransport, FollowsThreeRedirectsButNotFour)
{
    for (const int hops : { 3, 4 })
    {
        ScriptedHttpServer* self = nullptr;
        ScriptedHttpServer server ([&] (const ScriptedHttpServer::Request& r)
        {
            Reply reply;
            const int step = r.target.back() - '0';

            if (step < hops)
            {
                reply.status = 302;
                reply.location = self->baseUrl() + "/hop" + std::to_string (step + 1);
            }
            else
            {
                reply.body = R"({"ok":true,"hops":)" + std::to_string (hops) + "}";
            }

            return reply;
        });
        self = &server;

        auto client = clientFor (server);
        juce::String error;
        const auto result = client.requestJson ("/hop0", "GET", {}, error);

        if (hops == 3)
        {
            EXPECT_EQ (juce::String(), error);
            EXPECT_EQ (3, (int) result["hops"]);
        }
        else
        {
            EXPECT_NE (juce::String(), error);
            EXPECT_TRUE (result.isVoid());
        }
    }
}

//==============================================================================
TEST (ApiOperations, ReadingRules)
{
    // Login with ok true and no token: the client's token is cleared, and later requests carry none.
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":true})"));
        auto client = clientFor (server, "old-token");
        const auto result = client.login ("a@b.c", "password1");
        EXPECT_TRUE (result.ok);
        EXPECT_TRUE (result.token.isEmpty());
        EXPECT_TRUE (result.userId.isEmpty() && result.email.isEmpty() && result.displayName.isEmpty());
        EXPECT_TRUE (client.getToken().isEmpty());
        ASSERT_EQ (1u, server.requests().size());
        EXPECT_EQ ("Bearer old-token", server.requests()[0].headers.at ("authorization"));   // the older token went along

        client.me();
        EXPECT_FALSE (server.requests()[1].hasHeader ("authorization"));
    }
    // A successful login sets the token and reads the user; a numeric userId becomes its digits.
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":true,"token":"T1","user":{"userId":42,"email":"a@b.c","displayName":"A"}})"));
        auto client = clientFor (server);
        const auto result = client.registerUser ("a@b.c", "password1");
        EXPECT_TRUE (result.ok);
        EXPECT_EQ (juce::String ("T1"), result.token);
        EXPECT_EQ (juce::String ("42"), result.userId);
        EXPECT_EQ (juce::String ("A"), result.displayName);
        EXPECT_EQ (juce::String ("T1"), client.getToken());
        EXPECT_EQ ("/api/auth/register", server.requests()[0].target);
    }
    // ok false without error; a failed login keeps the token.
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (401, R"({"ok":false})"));
        auto client = clientFor (server, "keep");
        const auto result = client.login ("a@b.c", "x");
        EXPECT_FALSE (result.ok);
        EXPECT_TRUE (result.error.isEmpty());
        EXPECT_EQ (juce::String ("keep"), client.getToken());
    }
    // Add friend ignores "error".
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (404, R"({"ok":false,"error":"unknown_user"})"));
        auto client = clientFor (server, "t");
        juce::String error ("stale");
        EXPECT_FALSE (client.addFriend ("x@y.z", error));
        EXPECT_TRUE (error.isEmpty());
        EXPECT_EQ (R"({"email": "x@y.z"})", server.requests()[0].body);
    }
    // Friend lists: objects kept in order, others skipped; missing list; ok false.
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200,
            R"({"ok":true,"friends":[{"userId":"1","email":"a@x"},"junk",{"userId":2,"email":"b@x","displayName":"B"},null,7]})"));
        auto client = clientFor (server, "t");
        juce::String error;
        const auto friends = client.getFriends (error);
        ASSERT_EQ (2, friends.size());
        EXPECT_EQ (juce::String ("a@x"), friends[0].email);
        EXPECT_EQ (juce::String ("2"), friends[1].userId);
        EXPECT_EQ (juce::String ("B"), friends[1].displayName);
        EXPECT_TRUE (error.isEmpty());
    }
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":true})"));
        auto client = clientFor (server, "t");
        juce::String error;
        EXPECT_TRUE (client.getFriends (error).isEmpty());
        EXPECT_TRUE (error.isEmpty());
    }
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (401, R"({"ok":false,"error":"unauthorized"})"));
        auto client = clientFor (server, "t");
        juce::String error;
        EXPECT_TRUE (client.getFriends (error).isEmpty());
        EXPECT_EQ (juce::String ("unauthorized"), error);
    }
    // Session: ok true without roomToken; friendId always a JSON string; "ok" as a number.
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":1,"sessionId":5})"));
        auto client = clientFor (server, "t");
        const auto result = client.startSession ("42");
        EXPECT_TRUE (result.ok);
        EXPECT_EQ (juce::String ("5"), result.sessionId);
        EXPECT_TRUE (result.roomToken.isEmpty());
        EXPECT_EQ (R"({"friendId": "42"})", server.requests()[0].body);
    }
    {
        ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":0,"error":"nope"})"));
        auto client = clientFor (server, "t");
        const auto result = client.startSession ("");
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (juce::String ("nope"), result.error);
        EXPECT_EQ (R"({"friendId": ""})", server.requests()[0].body);
    }
}

TEST (ApiOperations, ATopLevelArrayIsBadRespEverywhere)
{
    ScriptedHttpServer server (ScriptedHttpServer::always (200, "[]"));
    auto client = clientFor (server, "t");
    juce::String error;

    EXPECT_EQ (juce::String ("bad_resp"), client.login ("a", "b").error);
    EXPECT_EQ (juce::String ("bad_resp"), client.registerUser ("a", "b").error);
    EXPECT_EQ (juce::String ("bad_resp"), client.me().error);
    EXPECT_EQ (juce::String ("bad_resp"), client.startSession ("1").error);
    client.getFriends (error);
    EXPECT_EQ (juce::String ("bad_resp"), error);
    EXPECT_FALSE (client.addFriend ("x", error));
    EXPECT_EQ (juce::String ("bad_resp"), error);
    EXPECT_EQ (juce::String ("t"), client.getToken());
}

TEST (ApiOperations, TransportErrorsReachEveryRecord)
{
    ApiClient client;
    client.setBaseUrl ("http://127.0.0.1:" + juce::String (unusedLoopbackPort()));
    juce::String error;

    EXPECT_EQ (juce::String ("network_error"), client.login ("a", "b").error);
    EXPECT_EQ (juce::String ("network_error"), client.me().error);
    EXPECT_EQ (juce::String ("network_error"), client.startSession ("1").error);
    client.getFriends (error);
    EXPECT_EQ (juce::String ("network_error"), error);
}

TEST (ApiClientThreads, FieldsAreReadWholeWhileOthersWrite)
{
    ScriptedHttpServer server (ScriptedHttpServer::always (200, R"({"ok":true,"token":"fresh"})"));
    auto client = std::make_shared<ApiClient> (clientFor (server));
    std::atomic<bool> stop { false };

    std::thread writer ([&]
    {
        for (int i = 0; ! stop; ++i)
        {
            client->setToken ("token-" + juce::String (i));
            client->setBaseUrl (server.baseUrl());
        }
    });

    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back ([client] { for (int k = 0; k < 5; ++k) client->login ("a@b.c", "password1"); });

    for (auto& w : workers)
        w.join();

    stop = true;
    writer.join();

    for (const auto& r : server.requests())
    {
        const auto& auth = r.headers.count ("authorization") ? r.headers.at ("authorization") : std::string();
        EXPECT_TRUE (auth.empty() || auth.rfind ("Bearer token-", 0) == 0 || auth == "Bearer fresh") << auth;
    }
}
