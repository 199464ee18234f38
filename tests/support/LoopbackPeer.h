#pragma once

// A small WebSocket server on an ephemeral loopback port for the client's tests: it records
// what it receives, can send text and binary, and can close a connection with a code.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support
{

class LoopbackPeer
{
public:
    struct Received
    {
        bool binary = false;
        std::string data;
    };

    struct CloseSeen
    {
        std::uint16_t code = 0;
        std::string reason;
    };

    LoopbackPeer();
    ~LoopbackPeer();

    int port() const { return listenPort; }
    std::string url() const { return "ws://127.0.0.1:" + std::to_string (listenPort); }

    // Waits until at least `count` messages arrived; false on timeout.
    bool waitForMessages (std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds (5));
    std::vector<Received> messages() const;
    std::size_t messageCount() const;

    bool waitForConnections (int count, std::chrono::milliseconds timeout = std::chrono::seconds (5));
    int connectionCount() const;

    // The close frame the last closed connection received from its client, if any.
    bool waitForClose (std::chrono::milliseconds timeout = std::chrono::seconds (5));
    std::optional<CloseSeen> lastClose() const;

    // Act on the most recent connection.
    void sendText (std::string text);
    void sendBinary (std::string bytes);
    void close (std::uint16_t code, std::string reason);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    int listenPort = 0;
};

} // namespace testing_support
