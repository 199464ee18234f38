#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <juce_audio_processors/juce_audio_processors.h>

#include "ApiClient.h"
#include "PluginProcessor.h"

#include <memory>

// The plug-in's window: one column of controls over the processor's state, refreshed from the
// streaming link four times a second.
class TonviaEditor : public juce::AudioProcessorEditor,
                     public juce::Timer
{
public:
    explicit TonviaEditor (TonviaProcessor&);
    ~TonviaEditor() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    // The controls, reachable by tests and by the demo that drives the window.
    juce::Label titleLabel, serverLabel;
    juce::TextEditor serverEditor;
    juce::TextButton saveServerButton { "Save" };
    juce::Label loginLabel;
    juce::TextEditor emailEditor, passwordEditor;
    juce::TextButton loginButton { "Login" }, registerButton { "Register" };
    juce::Label friendsLabel;
    juce::ComboBox friendsBox;
    juce::TextEditor friendEmailEditor;
    juce::TextButton addFriendButton { "Add" };
    juce::TextButton startSessionButton { "Start session" }, selfSessionButton { "Self session" };
    juce::ComboBox modeBox;
    juce::TextButton connectButton { "Connect" };
    juce::Label streamsLabel;
    juce::ComboBox streamsBox;
    juce::Label statusLabel;

    void timerCallback() override;

    // The account and session workflows: each checks its input here, runs one request on a
    // detached worker thread and shows the outcome when the completion comes back to the
    // message thread.
    void doLogin (bool isRegister);
    void refreshFriendsAsync();
    void doAddFriend();
    void doStartSession (bool withSelf);

    // This window's client of the account service. Workers hold it by shared pointer, so a
    // request still running when the window closes never uses a client that is gone.
    std::shared_ptr<ApiClient> api = std::make_shared<ApiClient>();

    juce::Array<ApiFriend> friends;

    // Account requests of all windows still running on their worker threads.
    static int requestsInFlight() noexcept;

private:
    TonviaProcessor& processorRef;

    void saveServer();
    void showMessage (const juce::String& text, juce::Colour colour);

    // Runs `work` on a detached thread and `done` with its result on the message thread,
    // but only while this window still exists.
    template <typename Result>
    void runRequest (std::function<Result (ApiClient&)> work, std::function<void (TonviaEditor&, Result)> done);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TonviaEditor)
};
