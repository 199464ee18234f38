// The plug-in window with the real message loop: layout, colours, handlers, the refresh tick,
// the account workflows against scripted and real servers, and closing windows mid-request.

#include <gtest/gtest.h>

#include "PluginEditor.h"
#include "support/AccountTestServer.h"
#include "support/Frames.h"
#include "MessageLoop.h"
#include "support/ScriptedHttpServer.h"
#include "support/Wait.h"
#include "WindowRoad.h"

using tonvia_tools::runMessageLoopFor;
using tonvia_tools::runMessageLoopUntil;
using testing_support::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Reply;

namespace
{
const juce::String ellipsis = juce::String (juce::CharPointer_UTF8 ("\xe2\x80\xa6"));

juce::Colour statusColour (TonviaEditor& e) { return e.statusLabel.findColour (juce::Label::textColourId); }

// Clicks a button the way a user does (the click handler runs on the message thread).
void click (juce::Button& button) { button.triggerClick(); runMessageLoopFor (std::chrono::milliseconds (5)); }

// Waits for the status line to show a text (before the next tick replaces it).
bool waitForMessage (TonviaEditor& e, const juce::String& text)
{
    return runMessageLoopUntil ([&] { return e.statusLabel.getText() == text; });
}

// A scripted account service keyed by path.
ScriptedHttpServer::Script byPath (std::map<std::string, std::string> bodies)
{
    return [bodies] (const ScriptedHttpServer::Request& r)
    {
        Reply reply;
        const auto found = bodies.find (r.target);
        reply.body = found != bodies.end() ? found->second : R"({"ok":false,"error":"not_found"})";
        return reply;
    };
}
} // namespace

TEST (Editor, BoundsAtTheFixedSize)
{
    TonviaProcessor p;
    TonviaEditor e (p);

    struct Expected { juce::Component& c; int x, y, w, h; };
    const Expected table[] = {
        { e.titleLabel, 14, 14, 392, 28 }, { e.serverLabel, 14, 52, 392, 18 },
        { e.serverEditor, 14, 76, 302, 30 }, { e.saveServerButton, 326, 76, 80, 30 },
        { e.loginLabel, 14, 120, 392, 18 }, { e.emailEditor, 14, 144, 392, 30 },
        { e.passwordEditor, 14, 180, 392, 30 }, { e.loginButton, 14, 218, 191, 30 },
        { e.registerButton, 215, 218, 191, 30 }, { e.friendsLabel, 14, 262, 392, 18 },
        { e.friendsBox, 14, 286, 392, 30 }, { e.friendEmailEditor, 14, 322, 302, 30 },
        { e.addFriendButton, 326, 322, 80, 30 }, { e.startSessionButton, 14, 362, 272, 30 },
        { e.selfSessionButton, 296, 362, 110, 30 }, { e.modeBox, 14, 408, 140, 30 },
        { e.connectButton, 164, 408, 242, 30 }, { e.streamsLabel, 14, 452, 392, 18 },
        { e.streamsBox, 14, 476, 392, 30 }, { e.statusLabel, 14, 520, 392, 26 },
    };

    EXPECT_EQ (420, e.getWidth());
    EXPECT_EQ (560, e.getHeight());
    EXPECT_FALSE (e.isResizable());

    for (const auto& t : table)
        EXPECT_EQ (juce::Rectangle<int> (t.x, t.y, t.w, t.h), t.c.getBounds()) << t.c.getName() << " at row y=" << t.y;
}

TEST (Editor, InitialContentsAndColours)
{
    TonviaProcessor p;
    p.apiBaseUrl = "http://accounts.example";
    TonviaEditor e (p);

    EXPECT_EQ (juce::String ("Tonvia v2.5"), e.titleLabel.getText());
    EXPECT_EQ (juce::String ("Server"), e.serverLabel.getText());
    EXPECT_EQ (juce::String ("http://accounts.example"), e.serverEditor.getText());
    EXPECT_EQ (juce::String ("Save"), e.saveServerButton.getButtonText());
    EXPECT_EQ (juce::String ("Login"), e.loginButton.getButtonText());
    EXPECT_EQ (juce::String ("Register"), e.registerButton.getButtonText());
    EXPECT_EQ (juce::String ("Friends"), e.friendsLabel.getText());
    EXPECT_EQ (0, e.friendsBox.getNumItems());
    EXPECT_EQ (juce::String ("select friend"), e.friendsBox.getTextWhenNothingSelected());
    EXPECT_EQ (juce::String ("Start session"), e.startSessionButton.getButtonText());
    EXPECT_EQ (juce::String ("Self session"), e.selfSessionButton.getButtonText());
    EXPECT_EQ (2, e.modeBox.getNumItems());
    EXPECT_EQ (juce::String ("Send"), e.modeBox.getItemText (0));
    EXPECT_EQ (juce::String ("Receive"), e.modeBox.getItemText (1));
    EXPECT_EQ (juce::String ("Connect"), e.connectButton.getButtonText());
    EXPECT_EQ (juce::String ("Remote streams"), e.streamsLabel.getText());
    EXPECT_EQ (juce::String ("(none yet)"), e.streamsBox.getTextWhenNothingSelected());
    EXPECT_EQ (juce::String ("Disconnected"), e.statusLabel.getText());
    EXPECT_EQ (juce::Colours::orange, statusColour (e));
    EXPECT_EQ (juce::String ("https://") + ellipsis, e.serverEditor.getTextToShowWhenEmpty());
    EXPECT_EQ (juce::String ("email"), e.emailEditor.getTextToShowWhenEmpty());
    EXPECT_EQ (juce::String ("password"), e.passwordEditor.getTextToShowWhenEmpty());
    EXPECT_EQ ((juce::juce_wchar) '*', e.passwordEditor.getPasswordCharacter());
    EXPECT_EQ (juce::String ("friend email"), e.friendEmailEditor.getTextToShowWhenEmpty());
    EXPECT_EQ (18.0f, e.titleLabel.getFont().getHeight());

    auto& lf = e.getLookAndFeel();
    const std::pair<int, juce::uint32> colours[] = {
        { 0x1005700, 0xff0b1220 }, { 0x1000200, 0xff0f1a2b }, { 0x1000205, 0x22ffffff }, { 0x1000206, 0xff2f81f7 },
        { 0x1000201, 0xffffffff }, { 0x1000100, 0xff15233a }, { 0x1000102, 0xffffffff }, { 0x1000b00, 0xff0f1a2b },
        { 0x1000a00, 0xffffffff }, { 0x1000700, 0xff0f1a2b },
    };

    for (const auto& [id, argb] : colours)
        EXPECT_EQ (juce::Colour (argb), lf.findColour (id)) << std::hex << id;
}

TEST (Editor, ModeBoxFollowsTheProcessorWithoutRunningItsHandler)
{
    for (const int mode : { 0, 1 })
    {
        TonviaProcessor p;
        p.mode = mode;
        TonviaEditor e (p);
        EXPECT_EQ (mode == 0 ? 1 : 2, e.modeBox.getSelectedId());
        runMessageLoopFor (std::chrono::milliseconds (20));
        EXPECT_EQ (mode, p.mode.load());
    }
}

TEST (Editor, HandlersActOnTheProcessor)
{
    TonviaProcessor p;
    TonviaEditor e (p);

    // Save server trims and stores in both places; the message lasts until the next tick.
    e.serverEditor.setText ("  http://127.0.0.1:9  ");
    click (e.saveServerButton);
    EXPECT_EQ (juce::String ("http://127.0.0.1:9"), p.apiBaseUrl);
    EXPECT_EQ (juce::String ("http://127.0.0.1:9"), e.api->getBaseUrl());
    EXPECT_EQ (juce::String ("Server saved"), e.statusLabel.getText());
    EXPECT_EQ (juce::Colours::lightgreen, statusColour (e));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return e.statusLabel.getText() == "Disconnected"; }, std::chrono::milliseconds (600)));

    e.serverEditor.setText ("");
    click (e.saveServerButton);
    EXPECT_TRUE (p.apiBaseUrl.isEmpty());

    // Mode choice.
    e.modeBox.setSelectedId (2, juce::sendNotificationSync);
    EXPECT_EQ (1, p.mode.load());
    e.modeBox.setSelectedId (1, juce::sendNotificationSync);
    EXPECT_EQ (0, p.mode.load());

    // Stream choice: the ring empties, receive mode, "Receive" shown.
    p.bridge.handleTextMessage (R"({"type":"stream","name":"Guitar","streamId":7,"direction":"send"})");
    ASSERT_TRUE (runMessageLoopUntil ([&] { return e.streamsBox.getNumItems() == 1; }));
    p.bridge.handleBinaryFrame (testing_support::makeFrame (7, 1, 8, testing_support::counting (8)));
    e.streamsBox.setSelectedId (7, juce::sendNotificationSync);
    EXPECT_EQ (7, p.bridge.selectedStreamId.load());
    EXPECT_EQ (0, p.bridge.readPos.load());
    EXPECT_EQ (0, p.bridge.writePos.load());
    EXPECT_EQ (1, p.mode.load());
    EXPECT_EQ (2, e.modeBox.getSelectedId());

    // Connect with no session token does nothing.
    click (e.connectButton);
    EXPECT_FALSE (p.bridge.connected.load());
}

TEST (Editor, RefreshFollowsTheLink)
{
    TonviaProcessor p;
    TonviaEditor e (p);
    const auto tick = [&] { e.timerCallback(); };

    // Colours and caption.
    p.bridge.connected = true;
    p.bridge.setStatus ("Connected");
    tick();
    EXPECT_EQ (juce::String ("Connected"), e.statusLabel.getText());
    EXPECT_EQ (juce::Colours::darkgreen, statusColour (e));
    EXPECT_EQ (juce::String ("Disconnect"), e.connectButton.getButtonText());
    p.bridge.connected = false;
    p.bridge.setStatus ("Error: boom");
    tick();
    EXPECT_EQ (juce::Colours::orange, statusColour (e));
    EXPECT_EQ (juce::String ("Connect"), e.connectButton.getButtonText());

    // Stream box: names, "Stream " and the id for an empty name, no rebuild on same ids.
    p.bridge.handleTextMessage (R"({"type":"stream","name":"Keys","streamId":3})");
    p.bridge.handleTextMessage (R"({"type":"stream","streamId":7})");
    p.bridge.handleTextMessage (R"({"type":"stream","streamId":-7})");
    tick();
    ASSERT_EQ (3, e.streamsBox.getNumItems());
    EXPECT_EQ (juce::String ("Keys"), e.streamsBox.getItemText (0));
    EXPECT_EQ (juce::String ("Stream 7"), e.streamsBox.getItemText (1));
    EXPECT_EQ (juce::String ("Stream -7"), e.streamsBox.getItemText (2));
    EXPECT_EQ (0, e.streamsBox.getSelectedId());

    p.bridge.handleTextMessage (R"({"type":"stream","name":"Renamed","streamId":3})");
    tick();
    EXPECT_EQ (juce::String ("Keys"), e.streamsBox.getItemText (0));   // same ids: no rebuild

    // A stream with id 0 is never shown and rebuilds every tick.
    p.bridge.handleTextMessage (R"({"type":"stream","name":"zero","streamId":0})");
    tick();
    EXPECT_EQ (3, e.streamsBox.getNumItems());
    EXPECT_EQ (juce::String ("Renamed"), e.streamsBox.getItemText (0));

    // Re-selection after a rebuild runs the choice handler again (mode back to receive).
    e.streamsBox.setSelectedId (7, juce::sendNotificationSync);
    ASSERT_EQ (7, p.bridge.selectedStreamId.load());
    e.modeBox.setSelectedId (1, juce::sendNotificationSync);
    ASSERT_EQ (0, p.mode.load());
    p.bridge.handleTextMessage (R"({"type":"stream","name":"more","streamId":9})");
    tick();
    EXPECT_EQ (7, e.streamsBox.getSelectedId());
    ASSERT_TRUE (runMessageLoopUntil ([&] { return p.mode.load() == 1; }, std::chrono::milliseconds (500)));
    EXPECT_EQ (2, e.modeBox.getSelectedId());

    // After a disconnect the next tick empties the box.
    p.bridge.disconnect();
    tick();
    EXPECT_EQ (0, e.streamsBox.getNumItems());
}

TEST (Editor, WorkflowMessagesAgainstAScriptedService)
{
    ScriptedHttpServer server (byPath ({
        { "/api/auth/login", R"({"ok":true,"token":"T","user":{"userId":"1","email":"me@x.com","displayName":""}})" },
        { "/api/friends", R"({"ok":true,"friends":[{"userId":"2","email":"b@x.com","displayName":"Bea"},{"userId":"3","email":"","displayName":""},{"userId":"4","email":"d@x.com","displayName":""}]})" },
        { "/api/friends/add", R"({"ok":true})" },
        { "/api/me", R"({"ok":true,"user":{"userId":"1"}})" },
        { "/api/sessions/start", R"({"ok":true,"sessionId":"9","roomToken":"ROOM"})" },
    }));

    TonviaProcessor p;
    p.apiBaseUrl = server.baseUrl();
    TonviaEditor e (p);
    e.stopTimer();   // keep workflow messages on screen while they are checked

    // Input checks come before any request.
    click (e.loginButton);
    EXPECT_EQ (juce::String ("Enter email + password"), e.statusLabel.getText());
    EXPECT_EQ (juce::Colours::red, statusColour (e));
    e.emailEditor.setText ("   ");
    e.passwordEditor.setText ("pw");
    click (e.loginButton);
    EXPECT_EQ (juce::String ("Enter email + password"), e.statusLabel.getText());
    click (e.addFriendButton);   // empty friend e-mail: nothing at all
    EXPECT_EQ (juce::String ("Enter email + password"), e.statusLabel.getText());
    e.friendEmailEditor.setText ("x@y.z");
    click (e.addFriendButton);
    EXPECT_EQ (juce::String ("Login first"), e.statusLabel.getText());
    click (e.selfSessionButton);
    EXPECT_EQ (juce::String ("Login first"), e.statusLabel.getText());
    EXPECT_TRUE (server.requests().empty());

    // Login: the trimmed e-mail, the untrimmed password; the reply's e-mail is shown.
    e.emailEditor.setText ("  typed@x.com ");
    e.passwordEditor.setText (" pass word ");
    click (e.loginButton);
    EXPECT_EQ ("Authenticating" + ellipsis, e.statusLabel.getText());
    EXPECT_EQ (juce::Colours::darkgrey, statusColour (e));
    ASSERT_TRUE (waitForMessage (e, "Logged in: me@x.com"));
    EXPECT_EQ (juce::Colours::darkgreen, statusColour (e));
    EXPECT_EQ (juce::String ("T"), p.authToken);
    EXPECT_EQ (juce::String ("T"), e.api->getToken());
    EXPECT_EQ (R"({"email": "typed@x.com", "password": " pass word "})", server.requests()[0].body);

    // The friend list follows; a friend with neither name nor e-mail gets no item but keeps its id.
    ASSERT_TRUE (runMessageLoopUntil ([&] { return e.friendsBox.getNumItems() == 2; }));
    EXPECT_EQ (juce::String ("Bea (b@x.com)"), e.friendsBox.getItemText (0));
    EXPECT_EQ (1, e.friendsBox.getItemId (0));
    EXPECT_EQ (juce::String ("d@x.com"), e.friendsBox.getItemText (1));
    EXPECT_EQ (3, e.friendsBox.getItemId (1));

    // Start session needs a valid selection.
    click (e.startSessionButton);
    EXPECT_EQ (juce::String ("Select a friend first"), e.statusLabel.getText());
    e.friendsBox.setSelectedId (3);
    e.friends.removeLast (2);   // the list shrank under the selection
    click (e.startSessionButton);
    EXPECT_EQ (juce::String ("Select a friend first"), e.statusLabel.getText());

    e.friendsBox.setSelectedId (1);
    click (e.startSessionButton);
    EXPECT_EQ ("Starting session" + ellipsis, e.statusLabel.getText());
    ASSERT_TRUE (waitForMessage (e, "Session ready (token set)"));
    EXPECT_EQ (juce::String ("ROOM"), p.sessionToken);
    EXPECT_EQ (R"({"friendId": "2"})", server.requests().back().body);

    p.sessionToken = {};
    click (e.selfSessionButton);
    EXPECT_EQ ("Loading your userId" + ellipsis, e.statusLabel.getText());
    ASSERT_TRUE (waitForMessage (e, "Self session ready (token set)"));
    EXPECT_EQ (juce::String ("ROOM"), p.sessionToken);
    EXPECT_EQ (R"({"friendId": "1"})", server.requests().back().body);

    // Adding a friend clears the field and reloads the list (which clears the selection).
    e.friendEmailEditor.setText (" new@x.com ");
    click (e.addFriendButton);
    ASSERT_TRUE (waitForMessage (e, "Friend added"));
    EXPECT_TRUE (e.friendEmailEditor.getText().isEmpty());
    ASSERT_TRUE (runMessageLoopUntil ([&] { return e.friendsBox.getSelectedId() == 0; }));
}

TEST (Editor, WorkflowFailuresAreRedAndKeepEarlierTokens)
{
    struct Case
    {
        std::map<std::string, std::string> replies;
        std::function<void (TonviaEditor&)> act;
        juce::String expected;
    };

    const Case cases[] = {
        { { { "/api/auth/login", R"({"ok":false,"error":"invalid_credentials"})" } },
          [] (TonviaEditor& e) { e.emailEditor.setText ("a@x"); e.passwordEditor.setText ("p"); click (e.loginButton); },
          "Auth failed: invalid_credentials" },
        { { { "/api/me", R"({"ok":false,"error":"unauthorized"})" } },
          [] (TonviaEditor& e) { click (e.selfSessionButton); }, "Self session failed: unauthorized" },
        { { { "/api/me", R"({"ok":true,"user":{"userId":"1"}})" }, { "/api/sessions/start", R"({"ok":false,"error":"not_friends"})" } },
          [] (TonviaEditor& e) { click (e.selfSessionButton); }, "Session failed: not_friends" },
        { { { "/api/friends/add", "[]" } },
          [] (TonviaEditor& e) { e.friendEmailEditor.setText ("b@x"); click (e.addFriendButton); }, "Add friend failed: bad_resp" },
        { { { "/api/friends", "<html>oops</html>" } },
          [] (TonviaEditor& e) { e.refreshFriendsAsync(); }, "Friends load failed: bad_json" },
    };

    for (const auto& c : cases)
    {
        ScriptedHttpServer server (byPath (c.replies));
        TonviaProcessor p;
        p.apiBaseUrl = server.baseUrl();
        p.authToken = "earlier";
        p.sessionToken = "earlier room";

        // Opening with a token loads the friend list at once; let that settle first.
        TonviaEditor e (p);
        e.stopTimer();
        runMessageLoopFor (std::chrono::milliseconds (300));

        c.act (e);
        ASSERT_TRUE (waitForMessage (e, c.expected)) << c.expected << " / shown: " << e.statusLabel.getText();
        EXPECT_EQ (juce::Colours::red, statusColour (e));
        EXPECT_EQ (juce::String ("earlier"), p.authToken);
        EXPECT_EQ (juce::String ("earlier room"), p.sessionToken);
    }
}

TEST (Editor, ClosingWindowsWithRequestsInFlightIsSafe)
{
    // A service that answers slowly: each window closes while its requests are still running.
    ScriptedHttpServer server ([] (const ScriptedHttpServer::Request& r)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (r.target == "/api/friends" ? 30 : 10));
        Reply reply;
        reply.body = R"({"ok":true,"token":"T","friends":[],"user":{"userId":"1","email":"e"},"roomToken":"R"})";
        return reply;
    });

    TonviaProcessor p;
    p.apiBaseUrl = server.baseUrl();
    p.authToken = "T";

    for (int i = 0; i < 60; ++i)
    {
        auto editor = std::make_unique<TonviaEditor> (p);
        editor->emailEditor.setText ("a@b.c");
        editor->passwordEditor.setText ("pw");
        editor->friendEmailEditor.setText ("f@b.c");
        editor->loginButton.triggerClick();
        editor->selfSessionButton.triggerClick();
        editor->addFriendButton.triggerClick();
        runMessageLoopFor (std::chrono::milliseconds (i % 7));   // sometimes the clicks run, sometimes a completion
        editor.reset();
    }

    // Let every worker finish and every completion come back to a closed window.
    EXPECT_TRUE (runMessageLoopUntil ([] { return TonviaEditor::requestsInFlight() == 0; }, std::chrono::seconds (60)));
    runMessageLoopFor (std::chrono::milliseconds (100));
    EXPECT_EQ (juce::String ("T"), p.authToken);
}

TEST (Editor, ReopeningKeepsModeServerAndLoginButNotTheFields)
{
    ScriptedHttpServer server (byPath ({ { "/api/friends", R"({"ok":true,"friends":[{"userId":"2","email":"b@x.com"}]})" } }));
    TonviaProcessor p;
    p.apiBaseUrl = server.baseUrl();
    p.mode = 1;
    p.authToken = "T";

    {
        TonviaEditor first (p);
        first.emailEditor.setText ("typed");
        ASSERT_TRUE (runMessageLoopUntil ([&] { return first.friendsBox.getNumItems() == 1; }));
    }

    TonviaEditor second (p);
    EXPECT_EQ (2, second.modeBox.getSelectedId());
    EXPECT_EQ (juce::String (server.baseUrl()), second.serverEditor.getText());
    EXPECT_EQ (juce::String ("T"), second.api->getToken());
    EXPECT_TRUE (second.emailEditor.getText().isEmpty());
    EXPECT_TRUE (runMessageLoopUntil ([&] { return second.friendsBox.getNumItems() == 1; }));
}

TEST (WholeRoad, TwoWindowsTwoProcessorsOneServerBitExact)
{
    testing_support::AccountTestServer server;
    WindowRoadOptions options;
    options.apiUrl = server.httpUrl();
    options.relayUrl = server.wsUrl();
    options.input.setSize (2, 512 * 60);

    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < options.input.getNumSamples(); ++i)
            options.input.setSample (c, i, (float) ((i * 7 + c * 3) % 65536) / 32768.0f - 1.0f);

    const auto result = runWindowRoad (options);
    ASSERT_TRUE (result.ok) << result.failure;
    EXPECT_TRUE (result.bitExact);
    EXPECT_EQ (60, result.blocksSent);
    EXPECT_EQ (60, result.blocksReceived);
    EXPECT_GE (result.delayBlocks, 0);
}
