#include "SignalSource.h"

namespace SignalSource
{
bool isKnown (const juce::String& name)
{
    return name == "sine" || name == "ramp" || name == "noise";
}

juce::AudioBuffer<float> make (const juce::String& name, int numChannels, int numSamples, double sampleRate)
{
    juce::AudioBuffer<float> buffer (numChannels, numSamples);
    juce::Random random (0x70a1);

    for (int c = 0; c < numChannels; ++c)
    {
        auto* out = buffer.getWritePointer (c);
        const double frequency = c == 0 ? 440.0 : 660.0;

        for (int i = 0; i < numSamples; ++i)
        {
            if (name == "sine")
                out[i] = (float) (0.5 * std::sin (juce::MathConstants<double>::twoPi * frequency * i / sampleRate));
            else if (name == "ramp")
                out[i] = (float) ((i * 7 + c * 3) % 65536) / 32768.0f - 1.0f;
            else
                out[i] = random.nextFloat() * 2.0f - 1.0f;
        }
    }

    return buffer;
}
} // namespace SignalSource
