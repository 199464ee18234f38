#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <juce_audio_processors/juce_audio_processors.h>

#include "PluginProcessor.h"

// The plug-in's window: one column of controls over the processor's state, refreshed from the
// streaming link four times a second.
class TonviaEditor : public juce::AudioProcessorEditor,
                     private juce::Timer
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

private:
    TonviaProcessor& processorRef;

    void saveServer();
    void showMessage (const juce::String& text, juce::Colour colour);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TonviaEditor)
};
