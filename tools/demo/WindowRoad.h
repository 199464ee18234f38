#pragma once

// The whole road from sign-in to heard audio, driven through the plug-in's own windows the way
// a musician drives them: typing into the fields and pressing the buttons of a send window and
// a receive window, each on its own instance of the plug-in, against a running tonvia-server.
// Then both instances run their audio callbacks in real time and the received audio is compared
// with what was sent.

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>
#include <string>

struct WindowRoadOptions
{
    std::string apiUrl;                       // http://host:port of the account service
    std::string relayUrl;                     // ws://host:port of the relay
    juce::AudioBuffer<float> input;           // what the send instance plays, 1 or 2 channels
    juce::File snapshotFolder;                // where to write the window pictures; none if empty
    std::function<void (const juce::String&)> log = [] (const juce::String&) {};
};

struct WindowRoadResult
{
    bool ok = false;
    juce::String failure;                     // what went wrong, when not ok
    int blocksSent = 0, blocksReceived = 0, delayBlocks = -1;
    bool bitExact = false;
    juce::AudioBuffer<float> received;
};

// Runs on the message thread (JUCE initialised); pumps the message loop itself.
WindowRoadResult runWindowRoad (const WindowRoadOptions& options);
