#pragma once

#include <juce_core/juce_core.h>

// What a VST3 module's factory publishes, read straight from the module's entry points the
// way a host's scanner does: the factory information and every class with its id.
struct Vst3ClassInfo
{
    juce::String classId;        // 32 hex digits, as four words most significant byte first
    juce::String category, name, subCategories, vendor, version, sdkVersion;
    int cardinality = 0;
    juce::uint32 classFlags = 0;
};

struct Vst3FactoryInfo
{
    juce::String vendor, url, email;
    int flags = 0;
    std::vector<Vst3ClassInfo> classes;
};

// Loads the module inside a .vst3 bundle; an error text on failure.
juce::Result readVst3Factory (const juce::File& bundle, Vst3FactoryInfo& info);
