#include "PluginEditor.h"

#include <atomic>
#include <thread>

namespace
{
constexpr int editorWidth = 420;
constexpr int editorHeight = 560;

const juce::Colour inProgressColour = juce::Colours::darkgrey;
const juce::Colour failureColour = juce::Colours::red;
const juce::Colour successColour = juce::Colours::darkgreen;

std::atomic<int> workersRunning { 0 };

juce::String withEllipsis (const char* text)
{
    return juce::String (juce::CharPointer_UTF8 (text)) + juce::String (juce::CharPointer_UTF8 ("\xe2\x80\xa6"));
}
} // namespace

TonviaEditor::TonviaEditor (TonviaProcessor& p)
    : juce::AudioProcessorEditor (p), processorRef (p)
{
    setSize (editorWidth, editorHeight);

    auto& lf = getLookAndFeel();
    lf.setColour (juce::ResizableWindow::backgroundColourId, juce::Colour (0xff0b1220));
    lf.setColour (juce::TextEditor::backgroundColourId, juce::Colour (0xff0f1a2b));
    lf.setColour (juce::TextEditor::outlineColourId, juce::Colour (0x22ffffff));
    lf.setColour (juce::TextEditor::focusedOutlineColourId, juce::Colour (0xff2f81f7));
    lf.setColour (juce::TextEditor::textColourId, juce::Colours::white);
    lf.setColour (juce::TextButton::buttonColourId, juce::Colour (0xff15233a));
    lf.setColour (juce::TextButton::textColourOffId, juce::Colours::white);
    lf.setColour (juce::ComboBox::backgroundColourId, juce::Colour (0xff0f1a2b));
    lf.setColour (juce::ComboBox::textColourId, juce::Colours::white);
    lf.setColour (juce::PopupMenu::backgroundColourId, juce::Colour (0xff0f1a2b));

    api->setBaseUrl (processorRef.apiBaseUrl);
    api->setToken (processorRef.authToken);

    titleLabel.setText ("Tonvia v2.5", juce::dontSendNotification);
    titleLabel.setFont (juce::Font (18.0f, juce::Font::plain));
    titleLabel.setJustificationType (juce::Justification::centredLeft);
    addAndMakeVisible (titleLabel);

    serverLabel.setText ("Server", juce::dontSendNotification);
    serverLabel.setJustificationType (juce::Justification::centredLeft);
    addAndMakeVisible (serverLabel);

    serverEditor.setText (processorRef.apiBaseUrl, false);
    serverEditor.setTextToShowWhenEmpty (juce::String (juce::CharPointer_UTF8 ("https://\xe2\x80\xa6")), juce::Colours::grey);
    addAndMakeVisible (serverEditor);

    saveServerButton.onClick = [this] { saveServer(); };
    addAndMakeVisible (saveServerButton);

    loginLabel.setText ("Login", juce::dontSendNotification);
    loginLabel.setJustificationType (juce::Justification::centredLeft);
    addAndMakeVisible (loginLabel);

    emailEditor.setTextToShowWhenEmpty ("email", juce::Colours::grey);
    addAndMakeVisible (emailEditor);

    passwordEditor.setTextToShowWhenEmpty ("password", juce::Colours::grey);
    passwordEditor.setPasswordCharacter ('*');
    addAndMakeVisible (passwordEditor);

    loginButton.onClick = [this] { doLogin (false); };
    addAndMakeVisible (loginButton);
    registerButton.onClick = [this] { doLogin (true); };
    addAndMakeVisible (registerButton);

    friendsLabel.setText ("Friends", juce::dontSendNotification);
    addAndMakeVisible (friendsLabel);

    friendsBox.setTextWhenNothingSelected ("select friend");
    addAndMakeVisible (friendsBox);

    friendEmailEditor.setTextToShowWhenEmpty ("friend email", juce::Colours::grey);
    addAndMakeVisible (friendEmailEditor);

    addFriendButton.onClick = [this] { doAddFriend(); };
    addAndMakeVisible (addFriendButton);
    startSessionButton.onClick = [this] { doStartSession (false); };
    addAndMakeVisible (startSessionButton);
    selfSessionButton.onClick = [this] { doStartSession (true); };
    addAndMakeVisible (selfSessionButton);

    modeBox.addItem ("Send", 1);
    modeBox.addItem ("Receive", 2);
    modeBox.setSelectedId (processorRef.mode.load (std::memory_order_relaxed) != 0 ? 2 : 1, juce::dontSendNotification);
    modeBox.onChange = [this]
    {
        processorRef.mode.store (modeBox.getSelectedId() == 1 ? 0 : 1, std::memory_order_relaxed);
    };
    addAndMakeVisible (modeBox);

    connectButton.onClick = [this] { processorRef.toggleConnection(); };
    addAndMakeVisible (connectButton);

    streamsLabel.setText ("Remote streams", juce::dontSendNotification);
    addAndMakeVisible (streamsLabel);

    streamsBox.setTextWhenNothingSelected ("(none yet)");
    streamsBox.onChange = [this]
    {
        const auto id = streamsBox.getSelectedId();

        if (id == 0)
            return;

        processorRef.chooseRemoteStream (id);
        modeBox.setSelectedId (2, juce::dontSendNotification);
    };
    addAndMakeVisible (streamsBox);

    statusLabel.setText ("Disconnected", juce::dontSendNotification);
    statusLabel.setJustificationType (juce::Justification::centredLeft);
    statusLabel.setColour (juce::Label::textColourId, juce::Colours::orange);
    addAndMakeVisible (statusLabel);

    startTimer (250);
    refreshFriendsAsync();
}

TonviaEditor::~TonviaEditor()
{
    stopTimer();
}

//==============================================================================
void TonviaEditor::paint (juce::Graphics& g)
{
    const auto w = (float) getWidth();
    const auto h = (float) getHeight();

    g.fillAll (juce::Colour (0xff0b1220));
    g.setGradientFill (juce::ColourGradient (juce::Colour (0xff111c30), 0.0f, 0.0f,
                                             juce::Colour (0xff0b1220), 0.0f, h, false));
    g.fillRect (0.0f, 0.0f, w, h);
    g.setColour (juce::Colour (0x220071e3));
    g.fillEllipse (0.55f * w, -0.15f * h, 0.7f * w, 0.7f * h);
}

void TonviaEditor::resized()
{
    auto area = getLocalBounds().reduced (14);

    auto gap = [&area] (int n) { area.removeFromTop (n); };
    auto rightColumn = [&area] (juce::Rectangle<int> row, juce::Component& left, juce::Component& right, int leftReserve, int rightWidth)
    {
        left.setBounds (row.withWidth (area.getWidth() - leftReserve));
        right.setBounds (row.withX (area.getRight() - rightWidth).withWidth (rightWidth));
    };

    titleLabel.setBounds (area.removeFromTop (28));
    gap (10);
    serverLabel.setBounds (area.removeFromTop (18));
    gap (6);
    rightColumn (area.removeFromTop (30), serverEditor, saveServerButton, 90, 80);
    gap (14);
    loginLabel.setBounds (area.removeFromTop (18));
    gap (6);
    emailEditor.setBounds (area.removeFromTop (30));
    gap (6);
    passwordEditor.setBounds (area.removeFromTop (30));
    gap (8);
    {
        auto row = area.removeFromTop (30);
        loginButton.setBounds (row.removeFromLeft (area.getWidth() / 2 - 5));
        row.removeFromLeft (10);
        registerButton.setBounds (row);
    }
    gap (14);
    friendsLabel.setBounds (area.removeFromTop (18));
    gap (6);
    friendsBox.setBounds (area.removeFromTop (30));
    gap (6);
    rightColumn (area.removeFromTop (30), friendEmailEditor, addFriendButton, 90, 80);
    gap (10);
    rightColumn (area.removeFromTop (30), startSessionButton, selfSessionButton, 120, 110);
    gap (16);
    {
        auto row = area.removeFromTop (30);
        modeBox.setBounds (row.removeFromLeft (140));
        row.removeFromLeft (10);
        connectButton.setBounds (row);
    }
    gap (14);
    streamsLabel.setBounds (area.removeFromTop (18));
    gap (6);
    streamsBox.setBounds (area.removeFromTop (30));
    gap (14);
    statusLabel.setBounds (area.removeFromTop (30));
}

//==============================================================================
void TonviaEditor::timerCallback()
{
    auto& bridge = processorRef.bridge;

    const auto status = bridge.getStatus();
    const bool isConnected = bridge.connected.load();
    statusLabel.setText (status, juce::dontSendNotification);
    statusLabel.setColour (juce::Label::textColourId, isConnected ? juce::Colours::darkgreen : juce::Colours::orange);

    const juce::String caption = bridge.connected.load() ? "Disconnect" : "Connect";

    if (connectButton.getButtonText() != caption)
        connectButton.setButtonText (caption);

    const auto streams = bridge.getRemoteStreams();
    bool unchanged = streamsBox.getNumItems() == (int) streams.size();

    for (int i = 0; unchanged && i < (int) streams.size(); ++i)
        unchanged = streamsBox.getItemId (i) == streams[(size_t) i].streamId;

    if (unchanged)
        return;

    const auto selected = bridge.selectedStreamId.load (std::memory_order_acquire);
    streamsBox.clear();

    for (const auto& stream : streams)
        streamsBox.addItem (stream.name.isNotEmpty() ? stream.name : "Stream " + juce::String (stream.streamId), stream.streamId);

    if (selected != 0)
        streamsBox.setSelectedId (selected, juce::dontSendNotification);
}

void TonviaEditor::saveServer()
{
    const auto url = serverEditor.getText().trim();
    processorRef.apiBaseUrl = url;
    api->setBaseUrl (url);
    showMessage ("Server saved", juce::Colours::lightgreen);
}

void TonviaEditor::showMessage (const juce::String& text, juce::Colour colour)
{
    statusLabel.setText (text, juce::dontSendNotification);
    statusLabel.setColour (juce::Label::textColourId, colour);
}

int TonviaEditor::requestsInFlight() noexcept
{
    return workersRunning.load();
}

//==============================================================================
template <typename Result>
void TonviaEditor::runRequest (std::function<Result (ApiClient&)> work, std::function<void (TonviaEditor&, Result)> done)
{
    // The completion finds its window through a safe pointer: when the window has closed in
    // the meantime, the result is dropped and neither the window nor the processor (which
    // may have gone with it) is touched.
    ++workersRunning;

    std::thread ([client = api, work = std::move (work), done = std::move (done),
                  window = juce::Component::SafePointer<TonviaEditor> (this)]() mutable
    {
        auto result = work (*client);

        juce::MessageManager::callAsync ([window, done = std::move (done), result = std::move (result)]() mutable
        {
            if (auto* editor = window.getComponent())
                done (*editor, std::move (result));
        });

        --workersRunning;
    }).detach();
}

void TonviaEditor::doLogin (bool isRegister)
{
    const auto email = emailEditor.getText().trim();
    const auto password = passwordEditor.getText();

    if (email.isEmpty() || password.isEmpty())
        return showMessage ("Enter email + password", failureColour);

    showMessage (withEllipsis ("Authenticating"), inProgressColour);

    runRequest<ApiClient::AuthResult> ([=] (ApiClient& client)
    {
        return isRegister ? client.registerUser (email, password) : client.login (email, password);
    },
    [] (TonviaEditor& editor, ApiClient::AuthResult result)
    {
        if (! result.ok)
            return editor.showMessage ("Auth failed: " + result.error, failureColour);

        editor.processorRef.authToken = result.token;
        editor.api->setToken (result.token);
        editor.showMessage ("Logged in: " + result.email, successColour);
        editor.refreshFriendsAsync();
    });
}

void TonviaEditor::refreshFriendsAsync()
{
    if (api->getToken().isEmpty())
        return;

    struct FriendList
    {
        juce::Array<ApiFriend> list;
        juce::String error;
    };

    runRequest<FriendList> ([] (ApiClient& client)
    {
        FriendList result;
        result.list = client.getFriends (result.error);
        return result;
    },
    [] (TonviaEditor& editor, FriendList result)
    {
        if (result.error.isNotEmpty())
            return editor.showMessage ("Friends load failed: " + result.error, failureColour);

        editor.friends = result.list;
        editor.friendsBox.clear();

        for (int i = 0; i < editor.friends.size(); ++i)
        {
            const auto& f = editor.friends.getReference (i);
            editor.friendsBox.addItem (f.displayName.isNotEmpty() ? f.displayName + " (" + f.email + ")" : f.email, i + 1);
        }
    });
}

void TonviaEditor::doAddFriend()
{
    const auto email = friendEmailEditor.getText().trim();

    if (email.isEmpty())
        return;

    if (api->getToken().isEmpty())
        return showMessage ("Login first", failureColour);

    showMessage (withEllipsis ("Adding friend"), inProgressColour);

    struct Added
    {
        bool ok = false;
        juce::String error;
    };

    runRequest<Added> ([email] (ApiClient& client)
    {
        Added result;
        result.ok = client.addFriend (email, result.error);
        return result;
    },
    [] (TonviaEditor& editor, Added result)
    {
        if (! result.ok)
            return editor.showMessage ("Add friend failed: " + result.error, failureColour);

        editor.friendEmailEditor.setText ({}, false);   // also forgets the field's undo history
        editor.showMessage ("Friend added", successColour);
        editor.refreshFriendsAsync();
    });
}

void TonviaEditor::doStartSession (bool withSelf)
{
    if (api->getToken().isEmpty())
        return showMessage ("Login first", failureColour);

    if (withSelf)
    {
        showMessage (withEllipsis ("Loading your userId"), inProgressColour);

        runRequest<ApiClient::MeResult> ([] (ApiClient& client) { return client.me(); },
        [] (TonviaEditor& editor, ApiClient::MeResult me)
        {
            if (! me.ok)
                return editor.showMessage ("Self session failed: " + me.error, failureColour);

            editor.showMessage (withEllipsis ("Starting self session"), inProgressColour);

            editor.runRequest<ApiClient::SessionResult> ([userId = me.userId] (ApiClient& client) { return client.startSession (userId); },
            [] (TonviaEditor& e, ApiClient::SessionResult session)
            {
                if (! session.ok)
                    return e.showMessage ("Session failed: " + session.error, failureColour);

                e.processorRef.sessionToken = session.roomToken;
                e.showMessage ("Self session ready (token set)", successColour);
            });
        });
        return;
    }

    const auto id = friendsBox.getSelectedId();

    if (id < 1 || id > friends.size())
        return showMessage ("Select a friend first", failureColour);

    const auto friendId = friends.getReference (id - 1).userId;
    showMessage (withEllipsis ("Starting session"), inProgressColour);

    runRequest<ApiClient::SessionResult> ([friendId] (ApiClient& client) { return client.startSession (friendId); },
    [] (TonviaEditor& editor, ApiClient::SessionResult session)
    {
        if (! session.ok)
            return editor.showMessage ("Session failed: " + session.error, failureColour);

        editor.processorRef.sessionToken = session.roomToken;
        editor.showMessage ("Session ready (token set)", successColour);
    });
}
