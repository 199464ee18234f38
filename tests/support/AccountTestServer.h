#pragma once

#include "AccountService.h"
#include "AccountStore.h"
#include "Log.h"
#include "Server.h"

#include <filesystem>
#include <memory>
#include <string>

namespace testing_support
{
// The whole tonvia-server (accounts and relay) in-process on an ephemeral loopback port, with
// its database in a fresh file that can be reopened by a second instance.
class AccountTestServer
{
public:
    explicit AccountTestServer (std::string databasePath = {}, tonvia::server::AccountLimits limits = {})
        : path (databasePath.empty() ? freshPath() : std::move (databasePath)),
          store (std::make_unique<tonvia::server::AccountStore> (path)),
          accounts (std::make_unique<tonvia::server::AccountService> (*store, limits))
    {
        tonvia::server::setLoggingEnabled (false);
        tonvia::server::ServerOptions options;
        options.port = 0;
        options.httpHandler = accounts->handler();
        options.roomTokenCheck = accounts->roomTokenCheck();
        server = std::make_unique<tonvia::server::Server> (options);
        server->start();
    }

    ~AccountTestServer()
    {
        server->stop();
        accounts->stop();
    }

    std::string httpUrl() const { return "http://127.0.0.1:" + std::to_string (server->port()); }
    std::string wsUrl() const { return "ws://127.0.0.1:" + std::to_string (server->port()); }
    int port() const { return server->port(); }

    static std::string freshPath()
    {
        static int counter = 0;
        const auto dir = std::filesystem::temp_directory_path() / "tonvia_account_tests";
        std::filesystem::create_directories (dir);
        const auto file = dir / ("db-" + std::to_string (::getpid()) + "-" + std::to_string (++counter) + ".db");
        std::filesystem::remove (file);
        return file.string();
    }

    std::string path;
    std::unique_ptr<tonvia::server::AccountStore> store;
    std::unique_ptr<tonvia::server::AccountService> accounts;
    std::unique_ptr<tonvia::server::Server> server;
};
} // namespace testing_support
