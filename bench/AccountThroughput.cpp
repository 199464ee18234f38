// The account service on this machine: requests per second of GET /api/friends and
// POST /api/sessions/start (keep-alive connections, several at once), and how long a login
// takes with the server's argon2id cost.
//
//   tonvia_bench_accounts [SECONDS] [CONNECTIONS]

#include "AccountService.h"
#include "AccountStore.h"
#include "Log.h"
#include "Server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace
{
struct Connection
{
    asio::io_context ioc;
    beast::tcp_stream stream { ioc };
    beast::flat_buffer buffer;

    explicit Connection (int port) { stream.connect ({ asio::ip::make_address ("127.0.0.1"), (unsigned short) port }); }

    json call (http::verb verb, const std::string& target, const std::string& body, const std::string& bearer = {})
    {
        http::request<http::string_body> req (verb, target, 11);
        req.set (http::field::host, "127.0.0.1");
        req.set (http::field::content_type, "application/json");

        if (! bearer.empty())
            req.set (http::field::authorization, "Bearer " + bearer);

        req.body() = body;
        req.prepare_payload();
        http::write (stream, req);
        http::response<http::string_body> res;
        http::read (stream, buffer, res);
        return json::parse (res.body(), nullptr, false);
    }
};

double requestsPerSecond (int port, int connections, double seconds, const std::function<bool (Connection&)>& one)
{
    std::atomic<long> done { 0 }, failed { 0 };
    const auto end = Clock::now() + std::chrono::milliseconds ((long) (seconds * 1000));
    std::vector<std::thread> threads;

    for (int i = 0; i < connections; ++i)
        threads.emplace_back ([&]
        {
            Connection c (port);

            while (Clock::now() < end)
                (one (c) ? done : failed)++;
        });

    for (auto& t : threads)
        t.join();

    if (failed > 0)
        std::fprintf (stderr, "%ld requests failed\n", failed.load());

    return (double) done / seconds;
}
} // namespace

int main (int argc, char* argv[])
{
    const double seconds = argc > 1 ? std::atof (argv[1]) : 5.0;
    const int connections = argc > 2 ? std::atoi (argv[2]) : 4;

    tonvia::server::setLoggingEnabled (false);
    const auto path = std::filesystem::temp_directory_path() / "tonvia_bench_accounts.db";
    std::filesystem::remove (path);
    tonvia::server::AccountStore store (path.string());
    tonvia::server::AccountLimits limits;
    limits.failedLoginsPerWindow = 1000000;
    tonvia::server::AccountService accounts (store, limits);
    tonvia::server::ServerOptions options;
    options.port = 0;
    options.httpHandler = accounts.handler();
    options.roomTokenCheck = accounts.roomTokenCheck();
    tonvia::server::Server server (options);
    server.start();
    const int port = server.port();

    Connection setup (port);
    const auto alice = setup.call (http::verb::post, "/api/auth/register", R"({"email":"alice@example.com","password":"password one"})");
    const auto bob = setup.call (http::verb::post, "/api/auth/register", R"({"email":"bob@example.com","password":"password two"})");
    const auto token = alice["token"].get<std::string>();
    const auto bobId = bob["user"]["userId"].get<std::string>();
    setup.call (http::verb::post, "/api/friends/add", R"({"email":"bob@example.com"})", token);

    // A login's time, one at a time.
    std::vector<double> loginMs;

    for (int i = 0; i < 15; ++i)
    {
        const auto start = Clock::now();
        const auto reply = setup.call (http::verb::post, "/api/auth/login", R"({"email":"alice@example.com","password":"password one"})");
        loginMs.push_back (std::chrono::duration<double, std::milli> (Clock::now() - start).count());

        if (! reply.value ("ok", false))
            std::fprintf (stderr, "login failed\n");
    }

    std::sort (loginMs.begin(), loginMs.end());

    const auto friendsRps = requestsPerSecond (port, connections, seconds, [&] (Connection& c)
    {
        return c.call (http::verb::get, "/api/friends", "", token).value ("ok", false);
    });

    const auto sessionsRps = requestsPerSecond (port, connections, seconds, [&] (Connection& c)
    {
        return c.call (http::verb::post, "/api/sessions/start", R"({"friendId":")" + bobId + "\"}", token).value ("ok", false);
    });

    server.stop();
    accounts.stop();
    std::filesystem::remove (path);

    std::printf ("login (argon2id, opslimit 2, memlimit 64 MiB): median %.1f ms, min %.1f ms, max %.1f ms over %zu logins\n",
                 loginMs[loginMs.size() / 2], loginMs.front(), loginMs.back(), loginMs.size());
    std::printf ("GET /api/friends:          %.0f requests/s (%d keep-alive connections, %.0f s)\n", friendsRps, connections, seconds);
    std::printf ("POST /api/sessions/start:  %.0f requests/s (%d keep-alive connections, %.0f s)\n", sessionsRps, connections, seconds);
    return 0;
}
