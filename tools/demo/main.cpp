// tonvia-demo: the whole road through the plug-in's own windows against a running tonvia-server:
// register, add a friend, start a session with oneself from a send window and a receive window,
// connect both, choose the stream, then stream a test signal or a WAV file in real time, write
// what the receiver played and print a summary.

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_events/juce_events.h>

#include "WindowRoad.h"

#include <iostream>

namespace
{
int usage()
{
    std::cerr << "usage: tonvia-demo --api http://HOST:PORT --relay ws://HOST:PORT\n"
                 "                   [--in IN.wav | --signal sine|ramp [--seconds S]] [--out OUT.wav] [--snapshots DIR]\n";
    return 2;
}

juce::AudioBuffer<float> makeSignal (const juce::String& name, int samples, double rate)
{
    juce::AudioBuffer<float> buffer (2, samples);

    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < samples; ++i)
            buffer.setSample (c, i, name == "ramp" ? (float) ((i * 7 + c * 3) % 65536) / 32768.0f - 1.0f
                                                   : (float) (0.5 * std::sin (juce::MathConstants<double>::twoPi * (c == 0 ? 440.0 : 660.0) * i / rate)));

    return buffer;
}

bool readWav (const juce::File& file, juce::AudioBuffer<float>& into)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

    if (reader == nullptr)
        return false;

    const int channels = reader->numChannels == 1 ? 1 : 2;
    into.setSize (channels, (int) reader->lengthInSamples);
    reader->read (&into, 0, (int) reader->lengthInSamples, 0, true, channels > 1);
    return true;
}

void writeWav (const juce::File& file, const juce::AudioBuffer<float>& audio, double rate)
{
    file.deleteFile();
    juce::WavAudioFormat wav;
    auto stream = std::unique_ptr<juce::OutputStream> (file.createOutputStream());

    if (stream == nullptr)
        return;

    if (auto writer = std::unique_ptr<juce::AudioFormatWriter> (wav.createWriterFor (stream.get(), rate, (unsigned) audio.getNumChannels(), 32, {}, 0)))
    {
        stream.release();   // the writer owns it now
        writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
    }
}
} // namespace

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::StringPairArray args;

    for (int i = 1; i + 1 < argc; i += 2)
        args.set (argv[i], juce::String::fromUTF8 (argv[i + 1]));

    if (! args.containsKey ("--api") || ! args.containsKey ("--relay"))
        return usage();

    const auto cwd = juce::File::getCurrentWorkingDirectory();
    WindowRoadOptions options;
    options.apiUrl = args["--api"].toStdString();
    options.relayUrl = args["--relay"].toStdString();
    options.log = [] (const juce::String& line) { std::cout << line << std::endl; };

    if (args.containsKey ("--snapshots"))
        options.snapshotFolder = cwd.getChildFile (args["--snapshots"]);

    if (args.containsKey ("--in"))
    {
        if (! readWav (cwd.getChildFile (args["--in"]), options.input))
        {
            std::cerr << "tonvia-demo: cannot read " << args["--in"] << " as audio\n";
            return 1;
        }
    }
    else
    {
        options.input = makeSignal (args.getValue ("--signal", "sine"), (int) (args.getValue ("--seconds", "3").getDoubleValue() * 48000.0), 48000.0);
    }

    const auto result = runWindowRoad (options);

    if (! result.ok)
    {
        std::cerr << "tonvia-demo: " << result.failure << "\n";
        return 1;
    }

    const auto outFile = cwd.getChildFile (args.getValue ("--out", "received.wav"));
    writeWav (outFile, result.received, 48000.0);

    std::cout << "blocks sent:      " << result.blocksSent << "\n"
              << "blocks received:  " << result.blocksReceived << "\n"
              << "bit-exact:        " << (result.bitExact ? "yes" : "no") << "\n"
              << "delay added:      " << result.delayBlocks << " blocks (" << juce::String (result.delayBlocks * 512 * 1000.0 / 48000.0, 1) << " ms)\n"
              << "receiver output:  " << outFile.getFullPathName() << "\n";

    return result.bitExact ? 0 : 1;
}
