// The link's text side: stream announcements in and out, and the join.

#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "support/Frames.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"

using testing_support::LoopbackPeer;
using testing_support::waitUntil;

namespace
{
struct Entry
{
    std::string name;
    int id;
    bool isSender;
};

std::vector<Entry> entries (const WebRTCBridge& b)
{
    std::vector<Entry> result;
    for (const auto& s : b.getRemoteStreams())
        result.push_back ({ s.name.toStdString(), s.streamId, s.isSender });
    return result;
}

bool operator== (const Entry& a, const Entry& b) { return a.name == b.name && a.id == b.id && a.isSender == b.isSender; }
std::ostream& operator<< (std::ostream& o, const Entry& e) { return o << "(" << e.name << ", " << e.id << ", " << e.isSender << ")"; }
} // namespace

TEST (Announcements, FillTheStreamListAsTheyArrive)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> messages;
        std::vector<Entry> expected;
    };

    const Case cases[] = {
        { "a new stream", { R"({"type":"stream","name":"Guitar","streamId":7,"direction":"send"})" }, { { "Guitar", 7, true } } },
        { "same id updates in place",
          { R"({"type":"stream","name":"Guitar","streamId":7,"direction":"send"})",
            R"({"type":"stream","name":"Bass","streamId":7,"direction":"receive"})" },
          { { "Bass", 7, false } } },
        { "ids 3, 9, 3 keep first-seen order",
          { R"({"type":"stream","name":"a","streamId":3})", R"({"type":"stream","name":"b","streamId":9})",
            R"({"type":"stream","name":"c","streamId":3})" },
          { { "c", 3, false }, { "b", 9, false } } },
        { "capital S is another type", { R"({"type":"Stream","name":"x","streamId":1})" }, {} },
        { "other types", { R"({"type":"join","token":"t","role":"send"})", R"({"type":"hello"})" }, {} },
        { "not JSON", { "stream", "{", "", "\xff\xfe" }, {} },
        { "not an object", { R"([{"type":"stream"}])", "42", R"("stream")" }, {} },
        { "only a type", { R"({"type":"stream"})" }, { { "", 0, false } } },
        { "id as a string", { R"({"type":"stream","name":"s","streamId":"12"})" }, { { "s", 12, false } } },
        { "id as text without digits", { R"({"type":"stream","streamId":"abc"})" }, { { "", 0, false } } },
        { "numeric name", { R"({"type":"stream","name":5,"streamId":1})" }, { { "5", 1, false } } },
        { "direction not a string", { R"({"type":"stream","streamId":1,"direction":true})" }, { { "", 1, false } } },
        { "negative id", { R"({"type":"stream","streamId":-7})" }, { { "", -7, false } } },
        { "id beyond 32 bits keeps the low bits", { R"({"type":"stream","streamId":4294967301})" }, { { "", 5, false } } },
        { "multi-line layout", { "{\n  \"type\": \"stream\",\n  \"name\": \"Keys\",\n  \"streamId\": 38848,\n  \"direction\": \"send\"\n}" },
          { { "Keys", 38848, true } } },
        { "UTF-8 names", { "{\"type\":\"stream\",\"name\":\"B\xc3\xa4ss\",\"streamId\":2,\"direction\":\"send\"}" },
          { { "B\xc3\xa4ss", 2, true } } },
    };

    for (const auto& c : cases)
    {
        WebRTCBridge b;

        for (const auto& m : c.messages)
            b.handleTextMessage (m);

        EXPECT_EQ (c.expected, entries (b)) << c.what;
    }
}

TEST (Announcements, ChoosingAStreamFiltersFrames)
{
    TonviaProcessor p;
    p.bridge.handleTextMessage (R"({"type":"stream","name":"Guitar","streamId":7,"direction":"send"})");
    p.bridge.handleBinaryFrame (testing_support::makeFrame (9, 1, 4, testing_support::counting (4)));
    ASSERT_EQ (4, p.bridge.heldSamples());

    p.chooseRemoteStream (7);
    EXPECT_EQ (7, p.bridge.selectedStreamId.load());
    EXPECT_EQ (1, p.mode.load());
    EXPECT_EQ (0, p.bridge.heldSamples());

    p.bridge.handleBinaryFrame (testing_support::makeFrame (9, 1, 4, testing_support::counting (4)));
    EXPECT_EQ (0, p.bridge.heldSamples());
    p.bridge.handleBinaryFrame (testing_support::makeFrame (7, 1, 4, testing_support::counting (4)));
    EXPECT_EQ (4, p.bridge.heldSamples());

    p.chooseRemoteStream (0);   // no item selected: nothing changes
    EXPECT_EQ (7, p.bridge.selectedStreamId.load());
}

TEST (Join, SentFirstThenTheAnnouncementInMultiLineJson)
{
    for (const bool asSender : { true, false })
    {
        LoopbackPeer peer;
        TonviaProcessor p;
        p.bridge.signalingUrl = peer.url();
        p.mode = asSender ? 0 : 1;
        p.sessionToken = juce::String (juce::CharPointer_UTF8 ("t\xc3\xb6ken \"42\""));
        p.toggleConnection();

        ASSERT_TRUE (peer.waitForMessages (2));
        ASSERT_TRUE (waitUntil ([&] { return p.bridge.getStatus() == "Connected"; }));
        EXPECT_EQ (asSender, p.bridge.isSender.load());

        const auto messages = peer.messages();
        ASSERT_EQ (2u, messages.size());
        EXPECT_FALSE (messages[0].binary);
        EXPECT_FALSE (messages[1].binary);

        const auto role = asSender ? "send" : "receive";
        const auto join = juce::JSON::parse (juce::String::fromUTF8 (messages[0].data.data(), (int) messages[0].data.size()));
        EXPECT_NE (std::string::npos, messages[0].data.find ('\n'));   // multi-line layout, JUCE's CRLF
        EXPECT_EQ (juce::String ("join"), join["type"].toString());
        EXPECT_EQ (p.sessionToken, join["token"].toString());
        EXPECT_EQ (juce::String (role), join["role"].toString());
        EXPECT_EQ (0u, messages[0].data.find ("{\r\n  \"type\": \"join\",\r\n  \"token\": "));

        const auto expectedAnnouncement = std::string ("{\r\n  \"type\": \"stream\",\r\n  \"name\": \"Stream\",\r\n  \"streamId\": 38848,\r\n  \"direction\": \"")
                                        + role + "\"\r\n}";
        EXPECT_EQ (expectedAnnouncement, messages[1].data);
    }
}
