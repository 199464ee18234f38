// tonvia-demo: streams a test signal or a WAV file from a send instance to a receive instance
// of the plug-in (TonviaProcessor, in this process) through a relay server, in real time,
// writes what the receiver played to a WAV file and prints a summary.

#include <juce_audio_formats/juce_audio_formats.h>

#include "ApiClient.h"
#include "PluginProcessor.h"

#include <iostream>
#include <thread>

namespace
{
int usage()
{
    std::cerr << "usage: tonvia-demo --relay ws://HOST:PORT (--api http://HOST:PORT | --token TOKEN)\n"
                 "                   [--in IN.wav | --signal sine|ramp] [--seconds S] [--out OUT.wav]\n";
    return 2;
}

juce::AudioBuffer<float> makeSignal (const juce::String& name, int channels, int samples, double rate)
{
    juce::AudioBuffer<float> buffer (channels, samples);

    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            buffer.setSample (c, i, name == "ramp" ? (float) ((i * 7 + c * 3) % 65536) / 32768.0f - 1.0f
                                                   : (float) (0.5 * std::sin (juce::MathConstants<double>::twoPi * (c == 0 ? 440.0 : 660.0) * i / rate)));

    return buffer;
}

bool waitFor (const std::function<bool()>& condition, int milliseconds)
{
    for (int waited = 0; ! condition(); waited += 5)
    {
        if (waited >= milliseconds)
            return false;

        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }

    return true;
}

bool isSilent (const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < b.getNumChannels(); ++c)
        if (b.findMinMax (c, 0, b.getNumSamples()) != juce::Range<float>())
            return false;

    return true;
}
} // namespace

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::StringPairArray args;

    for (int i = 1; i + 1 < argc; i += 2)
        args.set (argv[i], juce::String::fromUTF8 (argv[i + 1]));

    if (! args.containsKey ("--relay") || (! args.containsKey ("--token") && ! args.containsKey ("--api")))
        return usage();

    // With an account service: a fresh account, and a session with oneself for the room token.
    juce::String roomToken = args["--token"];

    if (args.containsKey ("--api"))
    {
        ApiClient api;
        api.setBaseUrl (args["--api"]);
        const auto email = "demo-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()) + "@example.com";
        const auto account = api.registerUser (email, "demo password " + juce::String (juce::Time::currentTimeMillis()));

        if (! account.ok)
        {
            std::cerr << "tonvia-demo: registration failed: " << account.error << "\n";
            return 1;
        }

        const auto me = api.me();
        const auto session = api.startSession (me.userId);

        if (! me.ok || ! session.ok)
        {
            std::cerr << "tonvia-demo: self session failed: " << (me.ok ? session.error : me.error) << "\n";
            return 1;
        }

        roomToken = session.roomToken;
        std::cout << "account:  " << account.email << " (user " << account.userId << ")\n"
                  << "session:  " << session.sessionId << ", room token " << roomToken.substring (0, 8) << "...\n";
    }

    constexpr double rate = 48000.0;
    constexpr int block = 512;
    const auto cwd = juce::File::getCurrentWorkingDirectory();

    juce::AudioBuffer<float> input;

    if (args.containsKey ("--in"))
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (cwd.getChildFile (args["--in"])));

        if (reader == nullptr)
        {
            std::cerr << "tonvia-demo: cannot read " << args["--in"] << " as audio\n";
            return 1;
        }

        const int channels = reader->numChannels == 1 ? 1 : 2;
        input.setSize (channels, (int) reader->lengthInSamples);
        reader->read (&input, 0, (int) reader->lengthInSamples, 0, true, channels > 1);
    }
    else
    {
        const auto seconds = args.getValue ("--seconds", "2").getDoubleValue();
        input = makeSignal (args.getValue ("--signal", "sine"), 2, (int) (seconds * rate), rate);
    }

    const int channels = input.getNumChannels();
    const int blocks = (input.getNumSamples() + block - 1) / block;

    TonviaProcessor sender, receiver;

    for (auto* p : { &receiver, &sender })
    {
        p->bridge.signalingUrl = args["--relay"];
        p->sessionToken = roomToken;
        p->mode = p == &sender ? 0 : 1;
        p->prepareToPlay (rate, block);
        p->toggleConnection();

        if (! waitFor ([p] { return p->bridge.connected.load(); }, 5000))
        {
            std::cerr << "tonvia-demo: " << (p == &sender ? "sender" : "receiver") << ": " << p->bridge.getStatus() << "\n";
            return 1;
        }
    }

    // The receiver lists the sender's stream and chooses it, as a musician would.
    if (! waitFor ([&] { return ! receiver.bridge.getRemoteStreams().empty(); }, 5000))
    {
        std::cerr << "tonvia-demo: the receiver heard of no stream\n";
        return 1;
    }

    const auto stream = receiver.bridge.getRemoteStreams().front();
    receiver.chooseRemoteStream (stream.streamId);
    std::cout << "sender:   " << sender.bridge.getStatus() << "\n"
              << "receiver: " << receiver.bridge.getStatus() << ", playing \"" << stream.name << "\" (" << stream.streamId << ")\n";

    // Both instances run one block per block period, as two hosts' audio threads would.
    juce::AudioBuffer<float> played (channels, input.getNumSamples());
    played.clear();
    juce::MidiBuffer midi;
    int playedSamples = 0, blocksReceived = 0, firstPlayedBlock = -1;
    const auto period = std::chrono::microseconds ((long) (1.0e6 * block / rate));
    auto next = std::chrono::steady_clock::now();

    for (int i = 0; playedSamples < input.getNumSamples() && i < blocks + 400; ++i)
    {
        if (i < blocks)
        {
            juce::AudioBuffer<float> work (channels, block);
            work.clear();
            const int n = std::min (block, input.getNumSamples() - i * block);

            for (int c = 0; c < channels; ++c)
                work.copyFrom (c, 0, input, c, i * block, n);

            sender.processBlock (work, midi);
        }

        juce::AudioBuffer<float> out (channels, block);
        const int before = receiver.bridge.readPos.load();
        receiver.processBlock (out, midi);

        if (receiver.bridge.readPos.load() != before)
        {
            if (firstPlayedBlock < 0)
                firstPlayedBlock = i;

            ++blocksReceived;
            const int n = std::min (block, input.getNumSamples() - playedSamples);

            for (int c = 0; c < channels; ++c)
                played.copyFrom (c, playedSamples, out, c, 0, n);

            playedSamples += n;
        }
        else if (! isSilent (out))
        {
            std::cerr << "tonvia-demo: an underrun block was not silent\n";
        }

        next += period;
        std::this_thread::sleep_until (next);
    }

    sender.toggleConnection();
    receiver.toggleConnection();

    bool bitExact = playedSamples == input.getNumSamples();

    for (int c = 0; c < channels && bitExact; ++c)
        bitExact = std::memcmp (input.getReadPointer (c), played.getReadPointer (c), sizeof (float) * (size_t) input.getNumSamples()) == 0;

    const auto outFile = cwd.getChildFile (args.getValue ("--out", "received.wav"));
    outFile.deleteFile();
    juce::WavAudioFormat wav;

    if (auto stream = std::unique_ptr<juce::OutputStream> (outFile.createOutputStream()))
    {
        if (auto writer = std::unique_ptr<juce::AudioFormatWriter> (wav.createWriterFor (stream.get(), rate, (unsigned) channels, 32, {}, 0)))
        {
            stream.release();
            writer->writeFromAudioSampleBuffer (played, 0, played.getNumSamples());
        }
    }

    std::cout << "blocks sent:      " << blocks << "\n"
              << "blocks received:  " << blocksReceived << "\n"
              << "bit-exact:        " << (bitExact ? "yes" : "no") << "\n"
              << "delay added:      " << firstPlayedBlock << " blocks (" << juce::String (firstPlayedBlock * block * 1000.0 / rate, 1) << " ms)\n"
              << "receiver output:  " << outFile.getFullPathName() << "\n";

    return bitExact ? 0 : 1;
}
