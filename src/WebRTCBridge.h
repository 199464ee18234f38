#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "WebSocketClient.h"

// The streaming link of one plug-in instance: the WebSocket to the relay, the join and the
// stream announcements, the list of remote streams, the audio frames both ways and the
// receive ring that the audio thread drains.
//
// Threads: connect(), disconnect() and the resets run on the message thread; onMessage()
// and everything it calls run on the socket's thread; sendAudio() and pullAudio() run on the
// audio thread and take no lock. The ring is a single-producer (socket thread),
// single-consumer (audio thread) queue published through readPos and writePos.
class WebRTCBridge
{
public:
    struct RemoteStream
    {
        juce::String name;
        int streamId = 0;
        bool isSender = true;
    };

    struct Ws
    {
        tonvia::WebSocketClient socket;
        std::string joinMessage;   // sent when the connection opens
    };

    WebRTCBridge();
    ~WebRTCBridge();

    WebRTCBridge (const WebRTCBridge&) = delete;
    WebRTCBridge& operator= (const WebRTCBridge&) = delete;

    //==============================================================================
    // Message thread.

    // Closes any earlier connection, then connects to signalingUrl and joins the room named by
    // the token in the send or the receive role. Returns at once.
    void connect (const juce::String& token, bool asSender);

    // Closes the connection (waiting for the socket's thread), empties the ring, the stream
    // list and the selection. Safe in any state and more than once.
    void disconnect();

    // Chooses which stream's frames enter the ring and empties the ring.
    void selectStream (int streamId);

    void setStatus (const juce::String& newStatus);
    juce::String getStatus() const;

    std::vector<RemoteStream> getRemoteStreams() const;

    //==============================================================================
    // Audio thread.

    // Encodes one block as frames of at most 65535 samples and queues them on the socket.
    void sendAudio (const float* const* channels, int numChannels, int numSamples) noexcept;

    // Fills the outputs with one whole block from the ring; false (and nothing consumed or
    // written) when the ring holds less than a block.
    bool pullAudio (float* const* outputs, int numChannels, int numSamples) noexcept;

    //==============================================================================
    // Socket thread.

    void onMessage (const tonvia::WebSocketMessage& message);
    void handleBinaryFrame (const std::string& payload) noexcept;
    void handleTextMessage (const std::string& payload);

    // Samples the ring holds now (a snapshot).
    int heldSamples() const noexcept;

    //==============================================================================
    juce::String signalingUrl;
    std::atomic<bool> connected { false };
    std::atomic<bool> isSender { true };
    juce::CriticalSection statusLock;
    juce::String statusText;
    const int ringCapacity = 192000;
    std::atomic<int> readPos { 0 };
    std::atomic<int> writePos { 0 };
    std::vector<float> ring;
    juce::CriticalSection streamsLock;
    juce::String localStreamName;
    std::vector<RemoteStream> remoteStreams;
    std::atomic<int> localStreamId { 0 };
    std::atomic<int> selectedStreamId { 0 };
    std::unique_ptr<Ws> ws;

    // The id derived from a stream name: the unsigned 32-bit string hash modulo 42356.
    static int streamIdForName (const juce::String& name) noexcept;

    // Status texts that other parts of the plug-in compare against.
    static juce::String connectingText();
    static juce::String joiningText();

private:
    void sendJoinAndAnnouncement();
};
