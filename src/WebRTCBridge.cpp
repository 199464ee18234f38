#include "WebRTCBridge.h"

#include "AudioFrame.h"

#include <algorithm>
#include <cstring>

namespace
{
// The ring's storage is read by the audio thread while the message thread may zero-fill it
// or the socket thread may refill a reset ring, so every element is accessed as a relaxed
// atomic: a reset that races with a read yields stale samples or zeros, never a torn value
// or undefined behaviour. The positions carry the ordering.
inline float loadSample (const float& slot) noexcept
{
    return std::atomic_ref<const float> (slot).load (std::memory_order_relaxed);
}

inline void storeSample (float& slot, float value) noexcept
{
    std::atomic_ref<float> (slot).store (value, std::memory_order_relaxed);
}

juce::String jsonText (const juce::DynamicObject::Ptr& object)
{
    return juce::JSON::toString (juce::var (object.get()), false);
}
} // namespace

WebRTCBridge::WebRTCBridge()
    : signalingUrl (TONVIA_DEFAULT_SIGNALING_URL),
      statusText ("Disconnected"),
      localStreamName ("Stream")
{
    ring.resize ((size_t) ringCapacity, 0.0f);
    ws = std::make_unique<Ws>();
    localStreamId.store (streamIdForName (localStreamName));
}

WebRTCBridge::~WebRTCBridge()
{
    disconnect();
}

int WebRTCBridge::streamIdForName (const juce::String& name) noexcept
{
    return (int) ((juce::uint32) name.hashCode() % 42356u);
}

juce::String WebRTCBridge::connectingText()  { return juce::String (juce::CharPointer_UTF8 ("Connecting\xe2\x80\xa6")); }
juce::String WebRTCBridge::joiningText()     { return juce::String (juce::CharPointer_UTF8 ("Connected (joining\xe2\x80\xa6)")); }

//==============================================================================
void WebRTCBridge::setStatus (const juce::String& newStatus)
{
    juce::String old (newStatus);

    {
        const juce::ScopedLock lock (statusLock);
        std::swap (statusText, old);
    }
    // `old` now holds the previous text and is released here, outside the lock.
}

juce::String WebRTCBridge::getStatus() const
{
    const juce::ScopedLock lock (statusLock);
    return statusText;
}

std::vector<WebRTCBridge::RemoteStream> WebRTCBridge::getRemoteStreams() const
{
    const juce::ScopedLock lock (streamsLock);
    return remoteStreams;
}

//==============================================================================
void WebRTCBridge::connect (const juce::String& token, bool asSender)
{
    disconnect();

    isSender.store (asSender);
    setStatus (connectingText());

    auto& socket = ws->socket;
    socket.setUrl (signalingUrl.toStdString());
    socket.setOnMessageCallback ([this] (const tonvia::WebSocketMessage& m) { onMessage (m); });

    juce::DynamicObject::Ptr join (new juce::DynamicObject());
    join->setProperty ("type", "join");
    join->setProperty ("token", token);
    join->setProperty ("role", asSender ? "send" : "receive");
    ws->joinMessage = jsonText (join).toStdString();

    socket.start();
}

void WebRTCBridge::disconnect()
{
    ws->socket.stop (tonvia::WebSocketClient::normalClosureCode, tonvia::WebSocketClient::normalClosureReason);
    connected.store (false);
    setStatus ("Disconnected");

    writePos.store (0, std::memory_order_release);
    readPos.store (0, std::memory_order_release);

    for (auto& sample : ring)
        storeSample (sample, 0.0f);

    const juce::ScopedLock lock (streamsLock);
    remoteStreams.clear();
    selectedStreamId.store (0, std::memory_order_release);
}

void WebRTCBridge::selectStream (int streamId)
{
    selectedStreamId.store (streamId, std::memory_order_release);
    writePos.store (0, std::memory_order_release);
    readPos.store (0, std::memory_order_release);
}

//==============================================================================
void WebRTCBridge::onMessage (const tonvia::WebSocketMessage& message)
{
    using Type = tonvia::WebSocketMessage::Type;

    switch (message.type)
    {
        case Type::open:
            connected.store (true);
            setStatus (joiningText());
            sendJoinAndAnnouncement();
            setStatus ("Connected");
            break;

        case Type::message:
            if (message.binary)
                handleBinaryFrame (message.payload);
            else
                handleTextMessage (message.payload);
            break;

        case Type::close:
            connected.store (false);
            setStatus ("Disconnected");
            break;

        case Type::error:
            connected.store (false);
            setStatus ("Error: " + juce::String (juce::CharPointer_UTF8 (message.errorReason.c_str())));
            break;
    }
}

void WebRTCBridge::sendJoinAndAnnouncement()
{
    auto& socket = ws->socket;

    if (! ws->joinMessage.empty())
        socket.sendText (ws->joinMessage);

    juce::String name;
    {
        const juce::ScopedLock lock (streamsLock);
        name = localStreamName;
    }

    juce::DynamicObject::Ptr announcement (new juce::DynamicObject());
    announcement->setProperty ("type", "stream");
    announcement->setProperty ("name", name);
    announcement->setProperty ("streamId", localStreamId.load());
    announcement->setProperty ("direction", isSender.load() ? "send" : "receive");
    socket.sendText (jsonText (announcement).toStdString());
}

void WebRTCBridge::handleTextMessage (const std::string& payload)
{
    const auto text = juce::String::fromUTF8 (payload.data(), (int) payload.size());
    const auto parsed = juce::JSON::parse (text);
    auto* object = parsed.getDynamicObject();

    if (object == nullptr)
        return;

    if (object->getProperty ("type").toString() != "stream")
        return;

    RemoteStream stream;
    stream.name = object->getProperty ("name").toString();
    stream.streamId = (int) (juce::uint32) (juce::uint64) (juce::int64) object->getProperty ("streamId");
    stream.isSender = object->getProperty ("direction").toString() == "send";

    const juce::ScopedLock lock (streamsLock);
    auto existing = std::find_if (remoteStreams.begin(), remoteStreams.end(),
                                  [&] (const RemoteStream& s) { return s.streamId == stream.streamId; });

    if (existing != remoteStreams.end())
        *existing = stream;
    else
        remoteStreams.push_back (stream);
}

//==============================================================================
void WebRTCBridge::handleBinaryFrame (const std::string& payload) noexcept
{
    namespace wire = tonvia::wire;
    const auto* bytes = reinterpret_cast<const std::uint8_t*> (payload.data());
    const auto size = payload.size();

    if (! wire::hasMagic (bytes, size))
        return;

    const auto header = wire::readHeader (bytes);
    const auto selected = selectedStreamId.load (std::memory_order_acquire);

    if (selected != 0 && header.streamId != (std::uint32_t) selected)
        return;

    if (wire::frameSize (header.channels, header.samples) != size)
        return;

    const int total = (int) header.channels * (int) header.samples;
    const int r = readPos.load (std::memory_order_acquire);
    const int w = writePos.load (std::memory_order_acquire);
    const int freeSpace = r > w ? r - w : r - w + ringCapacity;
    const int count = std::min (freeSpace - 1, total);

    int copied = 0;

    if (count >= 1)
    {
        const auto* samples = bytes + wire::headerSize;
        auto copyRun = [&] (int ringIndex, int n)
        {
            for (int i = 0; i < n; ++i)
            {
                float value;
                std::memcpy (&value, samples + 4 * (size_t) (copied + i), sizeof (float));
                storeSample (ring[(size_t) (ringIndex + i)], value);
            }
            copied += n;
        };

        const int first = std::min (count, ringCapacity - w);
        copyRun (w, first);

        if (const int rest = count - first; rest > 0)
            copyRun (0, std::min (rest, r));
    }

    auto next = writePos.load (std::memory_order_acquire) + copied;

    if (next >= ringCapacity)
        next -= ringCapacity;

    writePos.store (next, std::memory_order_release);
}

int WebRTCBridge::heldSamples() const noexcept
{
    const int r = readPos.load (std::memory_order_acquire);
    const int w = writePos.load (std::memory_order_acquire);
    return w >= r ? w - r : w + ringCapacity - r;
}

//==============================================================================
void WebRTCBridge::sendAudio (const float* const* channels, int numChannels, int numSamples) noexcept
{
    namespace wire = tonvia::wire;
    const int ch = std::min (numChannels, 2);
    const auto streamId = (std::uint32_t) localStreamId.load (std::memory_order_relaxed);
    auto& socket = ws->socket;

    // A block longer than the 16-bit sample count travels as consecutive frames.
    for (int offset = 0; offset < numSamples; offset += wire::maxSamplesPerFrame)
    {
        const int n = std::min (numSamples - offset, wire::maxSamplesPerFrame);
        auto* frame = socket.beginBinary ((size_t) wire::frameSize ((std::uint64_t) ch, (std::uint64_t) n));

        if (frame == nullptr)
            return;   // not open, or the queue is full: the frame is dropped

        wire::writeHeader (frame, { streamId, (std::uint16_t) ch, (std::uint16_t) n });
        auto* out = frame + wire::headerSize;

        const float* left = channels[0] + offset;

        if (ch == 1)
        {
            std::memcpy (out, left, sizeof (float) * (size_t) n);
        }
        else
        {
            const float* right = channels[1] + offset;

            for (int i = 0; i < n; ++i)
            {
                std::memcpy (out + 8 * (size_t) i, left + i, sizeof (float));
                std::memcpy (out + 8 * (size_t) i + 4, right + i, sizeof (float));
            }
        }

        socket.commitBinary();
    }
}

bool WebRTCBridge::pullAudio (float* const* outputs, int numChannels, int numSamples) noexcept
{
    if (numChannels < 1)
        return false;   // nowhere to play it: leave the samples for a block that has channels

    const int ch = numChannels == 1 ? 1 : 2;
    const int needed = numSamples * ch;

    const int r = readPos.load (std::memory_order_acquire);
    const int w = writePos.load (std::memory_order_acquire);
    const int held = w >= r ? w - r : w + ringCapacity - r;

    if (held < needed)
        return false;

    // De-interleave straight from the ring in at most two runs: `first` floats from r to the
    // end of the storage, the rest from index 0. A stereo pair may straddle the wrap.
    const float* storage = ring.data();
    const int first = std::min (needed, ringCapacity - r);
    float* left = outputs[0];

    if (ch == 1)
    {
        for (int i = 0; i < first; ++i)
            left[i] = loadSample (storage[r + i]);

        for (int i = first; i < numSamples; ++i)
            left[i] = loadSample (storage[i - first]);
    }
    else
    {
        float* right = outputs[1];
        const int pairsBeforeWrap = first / 2;
        const float* run = storage + r;

        for (int i = 0; i < pairsBeforeWrap; ++i)
        {
            left[i] = loadSample (run[2 * i]);
            right[i] = loadSample (run[2 * i + 1]);
        }

        int i = pairsBeforeWrap;

        if ((first & 1) != 0)   // the pair that straddles the end of the storage
        {
            left[i] = loadSample (storage[ringCapacity - 1]);
            right[i] = loadSample (storage[0]);
            ++i;
        }

        for (int index = 2 * i - first; i < numSamples; ++i, index += 2)
        {
            left[i] = loadSample (storage[index]);
            right[i] = loadSample (storage[index + 1]);
        }
    }

    auto next = readPos.load (std::memory_order_acquire) + needed;

    if (next >= ringCapacity)
        next -= ringCapacity;

    readPos.store (next, std::memory_order_release);

    for (int c = ch; c < numChannels; ++c)
        std::fill_n (outputs[c], numSamples, 0.0f);

    return true;
}
