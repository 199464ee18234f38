#include "WindowRoad.h"

#include "ApiClient.h"
#include "MessageLoop.h"
#include "PluginEditor.h"

#include <thread>

namespace
{
using tonvia_tools::runMessageLoopFor;
using tonvia_tools::runMessageLoopUntil;
using namespace std::chrono_literals;

constexpr double sampleRate = 48000.0;
constexpr int blockSize = 512;

void type (juce::TextEditor& field, const juce::String& text)
{
    field.grabKeyboardFocus();
    field.clear();
    field.insertTextAtCaret (text);
}

void press (juce::Button& button)
{
    button.triggerClick();
    runMessageLoopFor (5ms);
}

void choose (juce::ComboBox& box, int itemId)
{
    box.setSelectedId (itemId, juce::sendNotificationSync);
    runMessageLoopFor (5ms);
}

void snapshot (TonviaEditor& editor, const juce::File& folder, const char* name)
{
    if (folder == juce::File())
        return;

    folder.createDirectory();
    const auto image = editor.createComponentSnapshot (editor.getLocalBounds(), true, 1.0f);
    const auto file = folder.getChildFile (name);
    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat().writeImageToStream (image, out);
}

// Waits for a workflow message (the refresh tick replaces it within 250 ms, so look closely).
bool waitForMessage (TonviaEditor& editor, const juce::String& text)
{
    return runMessageLoopUntil ([&] { return editor.statusLabel.getText() == text; }, 15s);
}

struct Instance
{
    TonviaProcessor processor;
    std::unique_ptr<TonviaEditor> window;

    explicit Instance (const std::string& relayUrl)
    {
        // The relay's address is a build setting of the plug-in; this run points it at its server.
        processor.bridge.signalingUrl = relayUrl;
        processor.prepareToPlay (sampleRate, blockSize);
        window.reset (static_cast<TonviaEditor*> (processor.createEditor()));
    }
};
} // namespace

WindowRoadResult runWindowRoad (const WindowRoadOptions& o)
{
    WindowRoadResult result;
    auto fail = [&] (const juce::String& why) { result.failure = why; return result; };

    Instance sender (o.relayUrl), receiver (o.relayUrl);
    auto& a = *sender.window;
    auto& b = *receiver.window;
    snapshot (a, o.snapshotFolder, "window-fresh.png");

    const auto suffix = juce::String::toHexString (juce::Random::getSystemRandom().nextInt64());
    const auto email = "musician-" + suffix + "@example.com";
    const auto bandmate = "bandmate-" + suffix + "@example.com";
    const juce::String password ("a long demo password");

    // Both windows: the account service's address, then Save.
    for (auto* w : { &a, &b })
    {
        type (w->serverEditor, o.apiUrl);
        press (w->saveServerButton);
    }

    // A wrong password first: the window says so in red.
    a.stopTimer();
    type (a.emailEditor, email);
    type (a.passwordEditor, "not the password");
    press (a.loginButton);

    if (! waitForMessage (a, "Auth failed: invalid_credentials"))
        return fail ("expected a failed login, saw: " + a.statusLabel.getText());

    snapshot (a, o.snapshotFolder, "window-failure.png");
    o.log ("send window:    " + a.statusLabel.getText());

    // Register, then add a bandmate (an account made beside the windows) as a friend.
    ApiClient other;
    other.setBaseUrl (o.apiUrl);

    if (! other.registerUser (bandmate, password).ok)
        return fail ("could not register the bandmate's account");

    type (a.passwordEditor, password);
    press (a.registerButton);

    if (! waitForMessage (a, "Logged in: " + email))
        return fail ("registration: " + a.statusLabel.getText());

    o.log ("send window:    " + a.statusLabel.getText());
    type (a.friendEmailEditor, bandmate);
    press (a.addFriendButton);

    if (! waitForMessage (a, "Friend added") || ! runMessageLoopUntil ([&] { return a.friendsBox.getNumItems() == 1; }, 10s))
        return fail ("adding the friend: " + a.statusLabel.getText());

    choose (a.friendsBox, 1);
    snapshot (a, o.snapshotFolder, "window-logged-in.png");
    o.log ("send window:    friends: " + a.friendsBox.getItemText (0));

    // A session with oneself, from both windows: the same account logged in on the receive side.
    press (a.selfSessionButton);

    if (! waitForMessage (a, "Self session ready (token set)"))
        return fail ("self session: " + a.statusLabel.getText());

    b.stopTimer();
    type (b.emailEditor, email);
    type (b.passwordEditor, password);
    press (b.loginButton);

    if (! waitForMessage (b, "Logged in: " + email))
        return fail ("receive window login: " + b.statusLabel.getText());

    press (b.selfSessionButton);

    if (! waitForMessage (b, "Self session ready (token set)"))
        return fail ("receive window self session: " + b.statusLabel.getText());

    if (sender.processor.sessionToken != receiver.processor.sessionToken)
        return fail ("the two windows got different room tokens");

    o.log ("both windows:   self session ready, one room");

    // Modes and Connect.
    a.startTimer (250);
    b.startTimer (250);
    choose (a.modeBox, 1);
    choose (b.modeBox, 2);
    press (b.connectButton);
    press (a.connectButton);

    if (! runMessageLoopUntil ([&] { return a.connectButton.getButtonText() == "Disconnect" && b.connectButton.getButtonText() == "Disconnect"; }, 10s))
        return fail ("connecting: " + a.statusLabel.getText() + " / " + b.statusLabel.getText());

    // The receive window lists the sender's stream; choose it.
    if (! runMessageLoopUntil ([&] { return b.streamsBox.getNumItems() > 0; }, 10s))
        return fail ("the receive window listed no stream");

    choose (b.streamsBox, b.streamsBox.getItemId (0));
    runMessageLoopFor (300ms);
    snapshot (b, o.snapshotFolder, "window-connected.png");
    o.log ("receive window: " + b.statusLabel.getText() + ", playing \"" + b.streamsBox.getText() + "\"");

    // Both instances run their audio callbacks, one block per block period, while the message
    // loop keeps the windows refreshed.
    const auto& input = o.input;
    const int channels = input.getNumChannels();
    result.blocksSent = (input.getNumSamples() + blockSize - 1) / blockSize;
    result.received.setSize (channels, input.getNumSamples());
    result.received.clear();
    juce::MidiBuffer midi;
    int played = 0;
    const auto period = std::chrono::microseconds ((long) (1.0e6 * blockSize / sampleRate));
    auto next = std::chrono::steady_clock::now();

    for (int i = 0; played < input.getNumSamples() && i < result.blocksSent + 400; ++i)
    {
        if (i < result.blocksSent)
        {
            juce::AudioBuffer<float> work (channels, blockSize);
            work.clear();
            const int n = std::min (blockSize, input.getNumSamples() - i * blockSize);

            for (int c = 0; c < channels; ++c)
                work.copyFrom (c, 0, input, c, i * blockSize, n);

            sender.processor.processBlock (work, midi);
        }

        juce::AudioBuffer<float> out (channels, blockSize);
        const int before = receiver.processor.bridge.readPos.load();
        receiver.processor.processBlock (out, midi);

        if (receiver.processor.bridge.readPos.load() != before)
        {
            if (result.delayBlocks < 0)
                result.delayBlocks = i;

            ++result.blocksReceived;
            const int n = std::min (blockSize, input.getNumSamples() - played);

            for (int c = 0; c < channels; ++c)
                result.received.copyFrom (c, played, out, c, 0, n);

            played += n;
        }

        next += period;
        runMessageLoopUntil ([&] { return std::chrono::steady_clock::now() >= next; }, std::chrono::duration_cast<std::chrono::milliseconds> (period * 2));
    }

    press (a.connectButton);
    press (b.connectButton);

    result.bitExact = played == input.getNumSamples();

    for (int c = 0; c < channels && result.bitExact; ++c)
        result.bitExact = std::memcmp (input.getReadPointer (c), result.received.getReadPointer (c),
                                       sizeof (float) * (size_t) input.getNumSamples()) == 0;

    result.ok = true;
    return result;
}
