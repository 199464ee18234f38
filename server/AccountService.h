#pragma once

// The account service's HTTP endpoints. Requests are answered on a small pool of worker
// threads, so that password hashing never holds up the relay's I/O thread.

#include "AccountStore.h"
#include "HttpSession.h"
#include "RateLimiter.h"
#include "Relay.h"

#include <boost/asio/thread_pool.hpp>

#include <memory>

namespace tonvia::server
{
struct AccountLimits
{
    int failedLoginsPerWindow = 10;
    int registrationsPerWindow = 10;
    std::chrono::seconds window { std::chrono::minutes (10) };
};

class AccountService
{
public:
    AccountService (AccountStore& store, AccountLimits limits = {}, int threads = 2);
    ~AccountService();

    // The HTTP handler to give the server.
    HttpHandler handler();

    // The relay's room-token check (renews a valid token).
    RoomTokenCheck roomTokenCheck();

    // Answers one request synchronously (the worker threads call this).
    HttpResponse answer (const HttpRequest& request, const std::string& remoteAddress);

    // Stops taking work and waits for the requests in progress.
    void stop();

private:
    AccountStore& store;
    AccountLimits limits;
    RateLimiter failedLogins, registrations;
    boost::asio::thread_pool workers;
};

} // namespace tonvia::server
