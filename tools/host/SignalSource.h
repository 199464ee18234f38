#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

// Deterministic test signals, so runs can be compared sample for sample.
//   sine   440 Hz on the first channel, 660 Hz on the second, at half scale
//   ramp   a different exact value for every sample and channel (a sawtooth in [-1, 1))
//   noise  white noise from a fixed seed
namespace SignalSource
{
bool isKnown (const juce::String& name);
juce::AudioBuffer<float> make (const juce::String& name, int numChannels, int numSamples, double sampleRate);
} // namespace SignalSource
