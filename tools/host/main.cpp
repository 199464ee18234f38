// tonvia-host: loads a .vst3 bundle through JUCE's VST3 hosting, as a DAW does, and reports
// or drives what it finds. Output is "key: value" lines, meant for people and for tests.

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_audio_processors/juce_audio_processors.h>

#include "SignalSource.h"
#include "Vst3ClassList.h"

#include <iostream>

namespace
{
int usage()
{
    std::cerr <<
        "usage:\n"
        "  tonvia-host info BUNDLE\n"
        "  tonvia-host layouts BUNDLE\n"
        "  tonvia-host process BUNDLE (--in IN.wav | --signal sine|ramp|noise [--seconds S])\n"
        "                      [--rate HZ] [--block N] [--channels 1|2] [--state FILE] --out OUT.wav\n"
        "  tonvia-host state BUNDLE [--load FILE | --set-component HEX] [--save FILE]\n";
    return 2;
}

void line (const juce::String& key, const juce::String& value)
{
    std::cout << key << ": " << value << "\n";
}

struct Options
{
    juce::StringPairArray values;

    Options (const juce::StringArray& args, int first)
    {
        for (int i = first; i + 1 < args.size(); i += 2)
            values.set (args[i], args[i + 1]);
    }

    juce::String get (const juce::String& key, const juce::String& fallback = {}) const
    {
        return values.containsKey (key) ? values[key] : fallback;
    }

    bool has (const juce::String& key) const { return values.containsKey (key); }
};

struct LoadedPlugin
{
    juce::PluginDescription description;
    std::unique_ptr<juce::AudioPluginInstance> instance;
};

bool load (const juce::File& bundle, double rate, int block, LoadedPlugin& plugin)
{
    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> types;
    format.findAllTypesForFile (types, bundle.getFullPathName());

    if (types.isEmpty())
    {
        std::cerr << "tonvia-host: no VST3 plug-in found in " << bundle.getFullPathName() << "\n";
        return false;
    }

    plugin.description = *types[0];
    juce::String error;
    plugin.instance = format.createInstanceFromDescription (plugin.description, rate, block, error);

    if (plugin.instance == nullptr)
    {
        std::cerr << "tonvia-host: could not create the plug-in: " << error << "\n";
        return false;
    }

    return true;
}

juce::String describeBus (juce::AudioProcessor::Bus* bus)
{
    return "\"" + bus->getName() + "\" default " + bus->getDefaultLayout().getDescription()
         + ", current " + bus->getCurrentLayout().getDescription()
         + (bus->isEnabled() ? ", enabled" : ", disabled");
}

juce::AudioProcessor::BusesLayout makeLayout (const juce::AudioChannelSet& in, const juce::AudioChannelSet& out)
{
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (in);
    layout.outputBuses.add (out);
    return layout;
}

//==============================================================================
int info (const juce::File& bundle)
{
    Vst3FactoryInfo factory;
    const auto scan = readVst3Factory (bundle, factory);

    if (scan.failed())
    {
        std::cerr << "tonvia-host: " << scan.getErrorMessage() << "\n";
        return 1;
    }

    line ("factory.vendor", factory.vendor);
    line ("factory.url", factory.url);
    line ("factory.email", factory.email);
    line ("factory.flags", juce::String (factory.flags));
    line ("classes", juce::String ((int) factory.classes.size()));

    for (size_t i = 0; i < factory.classes.size(); ++i)
    {
        const auto& c = factory.classes[i];
        const auto prefix = "class." + juce::String ((int) i) + ".";
        line (prefix + "id", c.classId);
        line (prefix + "category", c.category);
        line (prefix + "name", c.name);
        line (prefix + "subcategories", c.subCategories);
        line (prefix + "vendor", c.vendor);
        line (prefix + "version", c.version);
        line (prefix + "sdk", c.sdkVersion);
        line (prefix + "cardinality", juce::String (c.cardinality));
        line (prefix + "flags", juce::String (c.classFlags));
    }

    LoadedPlugin plugin;

    if (! load (bundle, 48000.0, 512, plugin))
        return 1;

    const auto& d = plugin.description;
    auto& p = *plugin.instance;
    line ("name", d.name);
    line ("vendor", d.manufacturerName);
    line ("version", d.version);
    line ("category", d.category);
    line ("format", d.pluginFormatName);
    line ("instrument", d.isInstrument ? "yes" : "no");
    line ("accepts-midi", p.acceptsMidi() ? "yes" : "no");
    line ("produces-midi", p.producesMidi() ? "yes" : "no");
    line ("tail-seconds", juce::String (p.getTailLengthSeconds()));
    line ("latency-samples", juce::String (p.getLatencySamples()));
    line ("has-editor", p.hasEditor() ? "yes" : "no");

    line ("input-buses", juce::String (p.getBusCount (true)));
    for (int i = 0; i < p.getBusCount (true); ++i)
        line ("input-bus." + juce::String (i), describeBus (p.getBus (true, i)));

    line ("output-buses", juce::String (p.getBusCount (false)));
    for (int i = 0; i < p.getBusCount (false); ++i)
        line ("output-bus." + juce::String (i), describeBus (p.getBus (false, i)));

    line ("programs", juce::String (p.getNumPrograms()));
    for (int i = 0; i < p.getNumPrograms(); ++i)
        line ("program." + juce::String (i), "\"" + p.getProgramName (i) + "\"");

    const auto& params = p.getParameters();
    line ("parameters", juce::String (params.size()));

    for (int i = 0; i < params.size(); ++i)
    {
        auto* param = params[i];
        juce::String id;

        if (auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (param))
            id = hosted->getParameterID();

        line ("parameter." + juce::String (i),
              "\"" + param->getName (64) + "\" id " + id
              + (param == p.getBypassParameter() ? " bypass" : ""));
    }

    return 0;
}

int layouts (const juce::File& bundle)
{
    LoadedPlugin plugin;

    if (! load (bundle, 48000.0, 512, plugin))
        return 1;

    using Set = juce::AudioChannelSet;
    const struct { const char* name; Set in, out; } cases[] = {
        { "mono->mono", Set::mono(), Set::mono() },
        { "stereo->stereo", Set::stereo(), Set::stereo() },
        { "mono->stereo", Set::mono(), Set::stereo() },
        { "stereo->mono", Set::stereo(), Set::mono() },
        { "5.1->5.1", Set::create5point1(), Set::create5point1() },
        { "disabled->stereo", Set::disabled(), Set::stereo() },
        { "stereo->disabled", Set::stereo(), Set::disabled() },
        { "discrete2->discrete2", Set::discreteChannels (2), Set::discreteChannels (2) },
    };

    for (const auto& c : cases)
        line ("layout." + juce::String (c.name),
              plugin.instance->checkBusesLayoutSupported (makeLayout (c.in, c.out)) ? "accepted" : "refused");

    return 0;
}

bool readWholeFile (const juce::File& file, juce::MemoryBlock& data)
{
    if (! file.loadFileAsData (data))
    {
        std::cerr << "tonvia-host: cannot read " << file.getFullPathName() << "\n";
        return false;
    }

    return true;
}

juce::String componentStateHex (const juce::MemoryBlock& hostState)
{
    if (auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize()))
    {
        if (auto* component = xml->getChildByName ("IComponent"))
        {
            juce::MemoryBlock bytes;

            if (bytes.fromBase64Encoding (component->getAllSubText()))
                return juce::String::toHexString (bytes.getData(), (int) bytes.getSize(), 0);
        }
    }

    return {};
}

int state (const juce::File& bundle, const Options& options)
{
    LoadedPlugin plugin;

    if (! load (bundle, 48000.0, 512, plugin))
        return 1;

    auto& p = *plugin.instance;

    if (options.has ("--load"))
    {
        juce::MemoryBlock data;

        if (! readWholeFile (juce::File::getCurrentWorkingDirectory().getChildFile (options.get ("--load")), data))
            return 1;

        p.setStateInformation (data.getData(), (int) data.getSize());
    }
    else if (options.has ("--set-component"))
    {
        // Hands these exact bytes to the plug-in's component, the way a host restores a project.
        juce::MemoryBlock component;
        component.loadFromHexString (options.get ("--set-component"));
        juce::XmlElement xml ("VST3PluginState");
        xml.createNewChildElement ("IComponent")->addTextElement (component.toBase64Encoding());
        juce::MemoryBlock data;
        juce::AudioProcessor::copyXmlToBinary (xml, data);
        p.setStateInformation (data.getData(), (int) data.getSize());
    }

    juce::MemoryBlock saved;
    p.getStateInformation (saved);
    line ("state-bytes", juce::String ((int) saved.getSize()));
    line ("component-state", componentStateHex (saved));

    if (options.has ("--save"))
    {
        const auto out = juce::File::getCurrentWorkingDirectory().getChildFile (options.get ("--save"));

        if (! out.replaceWithData (saved.getData(), saved.getSize()))
        {
            std::cerr << "tonvia-host: cannot write " << out.getFullPathName() << "\n";
            return 1;
        }
    }

    return 0;
}

int process (const juce::File& bundle, const Options& options)
{
    const double rate = options.get ("--rate", "48000").getDoubleValue();
    const int block = options.get ("--block", "512").getIntValue();
    const int channels = options.get ("--channels", "2").getIntValue();
    const auto cwd = juce::File::getCurrentWorkingDirectory();

    if (rate <= 0 || block <= 0 || (channels != 1 && channels != 2) || ! options.has ("--out"))
        return usage();

    juce::AudioBuffer<float> input;
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    if (options.has ("--in"))
    {
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (cwd.getChildFile (options.get ("--in"))));

        if (reader == nullptr)
        {
            std::cerr << "tonvia-host: cannot read " << options.get ("--in") << " as audio\n";
            return 1;
        }

        input.setSize (channels, (int) reader->lengthInSamples);
        reader->read (&input, 0, (int) reader->lengthInSamples, 0, true, channels > 1);
    }
    else
    {
        const auto signal = options.get ("--signal", "sine");

        if (! SignalSource::isKnown (signal))
            return usage();

        const auto seconds = options.get ("--seconds", "1").getDoubleValue();
        input = SignalSource::make (signal, channels, (int) (seconds * rate), rate);
    }

    LoadedPlugin plugin;

    if (! load (bundle, rate, block, plugin))
        return 1;

    auto& p = *plugin.instance;
    const auto set = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();

    if (! p.setBusesLayout (makeLayout (set, set)))
    {
        std::cerr << "tonvia-host: the plug-in refused the " << set.getDescription() << " layout\n";
        return 1;
    }

    if (options.has ("--state"))
    {
        juce::MemoryBlock data;

        if (! readWholeFile (cwd.getChildFile (options.get ("--state")), data))
            return 1;

        p.setStateInformation (data.getData(), (int) data.getSize());
    }

    p.prepareToPlay (rate, block);

    juce::AudioBuffer<float> output (channels, input.getNumSamples());
    juce::AudioBuffer<float> work (channels, block);
    juce::MidiBuffer midi;
    int blocks = 0;

    for (int start = 0; start < input.getNumSamples(); start += block)
    {
        const int n = std::min (block, input.getNumSamples() - start);
        work.setSize (channels, n, false, false, true);

        for (int c = 0; c < channels; ++c)
            work.copyFrom (c, 0, input, c, start, n);

        p.processBlock (work, midi);

        for (int c = 0; c < channels; ++c)
            output.copyFrom (c, start, work, c, 0, n);

        ++blocks;
    }

    p.releaseResources();

    const auto outFile = cwd.getChildFile (options.get ("--out"));
    outFile.deleteFile();
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::OutputStream> stream (outFile.createOutputStream());
    std::unique_ptr<juce::AudioFormatWriter> writer;

    if (stream != nullptr)
        writer.reset (wav.createWriterFor (stream.get(), rate, (unsigned) channels, 32, {}, 0));

    if (writer == nullptr)
    {
        std::cerr << "tonvia-host: cannot write " << outFile.getFullPathName() << "\n";
        return 1;
    }

    stream.release();   // the writer owns it now
    writer->writeFromAudioSampleBuffer (output, 0, output.getNumSamples());
    writer.reset();

    line ("blocks", juce::String (blocks));
    line ("samples", juce::String (output.getNumSamples()));
    line ("channels", juce::String (channels));
    line ("output", outFile.getFullPathName());
    return 0;
}
} // namespace

int main (int argc, char* argv[])
{
    juce::ScopedJuceInitialiser_GUI juce;

    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    if (args.size() < 2)
        return usage();

    const auto command = args[0];
    const auto bundle = juce::File::getCurrentWorkingDirectory().getChildFile (args[1]);
    const Options options (args, 2);

    if (! bundle.exists())
    {
        std::cerr << "tonvia-host: " << bundle.getFullPathName() << " does not exist\n";
        return 1;
    }

    if (command == "info")     return info (bundle);
    if (command == "layouts")  return layouts (bundle);
    if (command == "state")    return state (bundle, options);
    if (command == "process")  return process (bundle, options);

    return usage();
}
