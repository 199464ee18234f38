#pragma once

// The plug-in's WebSocket client over Boost.Beast: plain ws:// only, one connection at a time,
// run on a thread of its own, never reconnecting by itself.
//
// Threads:
//  - start(), stop() and setUrl() come from one controlling thread (the message thread);
//  - events reach the callback on the client's own thread, one at a time, never after stop()
//    has returned;
//  - sendBinary() / beginBinary() come from one producer thread (the audio thread) and never
//    block, lock or allocate: frames go into a preallocated lock-free queue that the client's
//    thread drains. A full queue drops the frame, and so does a connection that is not open;
//  - sendText() may come from the client's own thread or the controlling thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "SpscRecordQueue.h"

namespace tonvia
{

struct WebSocketMessage
{
    enum class Type { open, message, close, error };

    Type type = Type::open;
    bool binary = false;
    std::string payload;        // message: the received bytes
    std::string errorReason;    // error: what went wrong, in words
};

class WebSocketClient
{
public:
    using MessageCallback = std::function<void (const WebSocketMessage&)>;

    static constexpr std::uint16_t normalClosureCode = 1000;
    static constexpr std::string_view normalClosureReason = "Normal closure";
    static constexpr std::size_t defaultQueueBytes = 2 * 1024 * 1024;

    explicit WebSocketClient (std::size_t binaryQueueBytes = defaultQueueBytes);
    ~WebSocketClient();

    WebSocketClient (const WebSocketClient&) = delete;
    WebSocketClient& operator= (const WebSocketClient&) = delete;

    void setUrl (std::string url);

    // Replaces the callback. Only call it while the client is stopped.
    void setOnMessageCallback (MessageCallback callback);

    // Connects on the client's own thread and returns at once; the outcome arrives as an open
    // or an error event. Does nothing while an earlier connection's thread has not been joined
    // by stop(), even when that thread has already ended.
    void start();

    // Sends the close frame with this code and reason (when open), ends the connection and
    // joins the thread. No callback runs after it returns. Harmless when never started.
    void stop (std::uint16_t code = normalClosureCode, std::string_view reason = normalClosureReason);

    // Queues one text message; false when there is no connection to send it on.
    bool sendText (std::string text);

    // Queues one binary message by copying it; false when not open or the queue is full.
    bool sendBinary (const void* data, std::size_t size) noexcept;

    // Zero-copy variant for the producer thread: fill the returned region, then commitBinary().
    // Returns nullptr (drop the frame) when not open or when the queue has no room.
    std::uint8_t* beginBinary (std::size_t size) noexcept;
    void commitBinary() noexcept;

    bool isOpen() const noexcept { return open.load (std::memory_order_acquire); }

    // True while binary messages wait in the queue for the client's thread.
    bool hasQueuedBinary() const noexcept { return ! binaryQueue.empty(); }

private:
    class Session;

    std::string url;
    MessageCallback callback;
    SpscRecordQueue binaryQueue;
    std::atomic<bool> open { false };
    std::unique_ptr<Session> session;
};

} // namespace tonvia
