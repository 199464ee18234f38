#include "PluginProcessor.h"

#include "PluginEditor.h"
#include "ProjectState.h"

TonviaProcessor::TonviaProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      apiBaseUrl (TONVIA_DEFAULT_API_URL)
{
}

TonviaProcessor::~TonviaProcessor()
{
    // Stop the socket before any member goes, so no event reaches a half-destroyed instance.
    if (bridge.connected.load())
        bridge.disconnect();
}

const juce::String TonviaProcessor::getName() const { return "Tonvia"; }

void TonviaProcessor::prepareToPlay (double sampleRate, int)
{
    if (sampleRate != 48000.0)
        bridge.setStatus ("Warning: best at 48kHz (current " + juce::String (sampleRate) + " Hz)");
}

void TonviaProcessor::releaseResources() {}

void TonviaProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    const int numSamples = buffer.getNumSamples();
    const int numChannels = buffer.getNumChannels();

    if (mode.load (std::memory_order_relaxed) == 0)
    {
        // Send: the audio passes through untouched; a copy goes to the relay.
        if (bridge.connected.load() && bridge.isSender.load() && numChannels >= 1 && numSamples >= 1)
            bridge.sendAudio (buffer.getArrayOfReadPointers(), numChannels, numSamples);

        return;
    }

    // Receive: play a whole block from the ring, or silence.
    auto* const* outputs = buffer.getArrayOfWritePointers();

    if (bridge.connected.load() && ! bridge.isSender.load()
        && bridge.pullAudio (outputs, numChannels, numSamples))
        return;

    buffer.clear();
}

double TonviaProcessor::getTailLengthSeconds() const { return 0.0; }
bool TonviaProcessor::acceptsMidi() const { return false; }
bool TonviaProcessor::producesMidi() const { return false; }
bool TonviaProcessor::isMidiEffect() const { return false; }

juce::AudioProcessorEditor* TonviaProcessor::createEditor() { return new TonviaEditor (*this); }
bool TonviaProcessor::hasEditor() const { return true; }

int TonviaProcessor::getNumPrograms() { return 1; }
int TonviaProcessor::getCurrentProgram() { return 0; }
void TonviaProcessor::setCurrentProgram (int) {}
const juce::String TonviaProcessor::getProgramName (int) { return {}; }
void TonviaProcessor::changeProgramName (int, const juce::String&) {}

void TonviaProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    ProjectState::write ({ mode.load (std::memory_order_relaxed), sessionToken }, destData);
}

void TonviaProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    ProjectState::Values values;

    if (! ProjectState::read (data, sizeInBytes, values))
        return;

    mode.store (values.mode, std::memory_order_relaxed);
    sessionToken = values.token;
}

bool TonviaProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto in = layouts.getMainInputChannelSet();
    const auto out = layouts.getMainOutputChannelSet();

    return in == out && (out == juce::AudioChannelSet::mono() || out == juce::AudioChannelSet::stereo());
}

void TonviaProcessor::toggleConnection()
{
    if (bridge.connected.load())
    {
        bridge.disconnect();
        return;
    }

    if (sessionToken.isNotEmpty())
        bridge.connect (sessionToken, mode.load (std::memory_order_relaxed) == 0);
}

void TonviaProcessor::chooseRemoteStream (int streamId)
{
    if (streamId == 0)
        return;

    bridge.selectStream (streamId);
    mode.store (1, std::memory_order_relaxed);
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TonviaProcessor();
}
