#pragma once

#include "Log.h"
#include "Server.h"

#include <string>

namespace testing_support
{
// The real tonvia-server code, in-process, on an ephemeral loopback port.
class TestServer
{
public:
    explicit TestServer (tonvia::server::ServerOptions options = {})
        : server ([&]
          {
              tonvia::server::setLoggingEnabled (false);
              options.listenAddress = "127.0.0.1";
              options.port = 0;
              return options;
          }())
    {
        server.start();
    }

    ~TestServer() { server.stop(); }

    std::string url() const { return "ws://127.0.0.1:" + std::to_string (server.port()); }
    std::string httpUrl() const { return "http://127.0.0.1:" + std::to_string (server.port()); }
    int port() const { return server.port(); }

    tonvia::server::Server server;
};
} // namespace testing_support
