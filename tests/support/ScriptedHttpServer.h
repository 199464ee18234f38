#pragma once

// A small HTTP server on an ephemeral loopback port whose replies a test scripts: any status,
// any body (HTML error pages, empty bodies, bare JSON values), redirects, or no answer at all.
// It records every request it receives.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support
{
class ScriptedHttpServer
{
public:
    struct Request
    {
        std::string method, target, body;
        std::map<std::string, std::string> headers;   // names in lower case
        bool hasHeader (const std::string& name) const { return headers.count (name) != 0; }
    };

    struct Reply
    {
        unsigned status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::string location;      // for redirects
        bool silent = false;       // accept the request and never answer
    };

    using Script = std::function<Reply (const Request&)>;

    explicit ScriptedHttpServer (Script script);
    ~ScriptedHttpServer();

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string (listenPort); }
    int port() const { return listenPort; }
    std::vector<Request> requests() const;

    // A reply with this status and body, for every request.
    static Script always (unsigned status, std::string body, std::string contentType = "application/json");

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    int listenPort = 0;
};
} // namespace testing_support
