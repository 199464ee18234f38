#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>

#include "WebRTCBridge.h"

// The processor the host creates for every instance: owns the mode, the tokens, the
// account-service address and the streaming link, and runs the audio callback.
class TonviaProcessor : public juce::AudioProcessor
{
public:
    TonviaProcessor();
    ~TonviaProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;
    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;
    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    // The Connect button: disconnects when connected, otherwise joins the session's room in
    // the role of the current mode; does nothing without a session token. Message thread.
    void toggleConnection();

    // The remote-stream choice: play only this stream, from an empty ring, in receive mode.
    void chooseRemoteStream (int streamId);

    //==============================================================================
    std::atomic<int> mode { 0 };          // 0 = send, anything else = receive
    juce::String sessionToken;            // room token of the started session
    juce::String apiBaseUrl;              // account-service base URL
    juce::String authToken;               // bearer token of the signed-in account
    WebRTCBridge bridge;                  // last, so it goes first on destruction

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TonviaProcessor)
};
