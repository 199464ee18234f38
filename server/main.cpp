// tonvia-server: the account service and the relay, on one port.

#include "AccountService.h"
#include "AccountStore.h"
#include "Log.h"
#include "Server.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace
{
int usage()
{
    std::cerr << "usage: tonvia-server [--listen ADDRESS] [--port PORT] [--db FILE]\n"
                 "  --listen ADDRESS   address to listen on (default 127.0.0.1)\n"
                 "  --port PORT        port (default 80); 0 picks a free port and prints it\n"
                 "  --db FILE          the account database (default tonvia.db)\n";
    return 2;
}
} // namespace

int main (int argc, char** argv)
{
    tonvia::server::ServerOptions options;
    std::string databasePath = "tonvia.db";

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];

        if (arg == "--help" || arg == "-h")
            return usage(), 0;

        if (i + 1 >= argc)
            return usage();

        const std::string value = argv[++i];

        if (arg == "--listen")
        {
            options.listenAddress = value;
        }
        else if (arg == "--port")
        {
            char* end = nullptr;
            const auto port = std::strtol (value.c_str(), &end, 10);

            if (end == value.c_str() || *end != '\0' || port < 0 || port > 65535)
                return usage();

            options.port = (std::uint16_t) port;
        }
        else if (arg == "--db")
        {
            databasePath = value;
        }
        else
        {
            return usage();
        }
    }

    try
    {
        tonvia::server::AccountStore store (databasePath);
        tonvia::server::AccountService accounts (store);
        options.httpHandler = accounts.handler();
        options.roomTokenCheck = accounts.roomTokenCheck();

        tonvia::server::Server server (options);
        server.handleTerminationSignals();

        if (options.port == 0)
            std::cout << server.port() << std::endl;

        tonvia::server::logLine ("listening on " + options.listenAddress + ":" + std::to_string (server.port()));
        server.run();
        accounts.stop();
        tonvia::server::logLine ("stopped");
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr << "tonvia-server: " << e.what() << "\n";
        return 1;
    }
}
