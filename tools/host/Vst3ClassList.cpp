#include "Vst3ClassList.h"

#include <juce_audio_processors/format_types/VST3_SDK/pluginterfaces/base/ipluginbase.h>

#include <dlfcn.h>

namespace
{
using namespace Steinberg;

juce::String hexClassId (const TUID id)
{
    return juce::String::toHexString (id, (int) sizeof (TUID), 0).toUpperCase();
}

juce::File moduleInside (const juce::File& bundle)
{
    if (bundle.existsAsFile())
        return bundle;

   #if defined (__x86_64__)
    constexpr auto arch = "x86_64-linux";
   #elif defined (__aarch64__)
    constexpr auto arch = "aarch64-linux";
   #else
    constexpr auto arch = "i386-linux";
   #endif

    return bundle.getChildFile ("Contents").getChildFile (arch).getChildFile (bundle.getFileNameWithoutExtension() + ".so");
}
} // namespace

juce::Result readVst3Factory (const juce::File& bundle, Vst3FactoryInfo& info)
{
    const auto module = moduleInside (bundle);

    if (! module.existsAsFile())
        return juce::Result::fail ("no module at " + module.getFullPathName());

    auto* handle = dlopen (module.getFullPathName().toRawUTF8(), RTLD_NOW | RTLD_LOCAL);

    if (handle == nullptr)
        return juce::Result::fail (juce::String ("cannot load module: ") + dlerror());

    using EntryFn = bool (*) (void*);
    using ExitFn = bool (*)();
    using FactoryFn = IPluginFactory* (*)();

    auto entry = reinterpret_cast<EntryFn> (dlsym (handle, "ModuleEntry"));
    auto exitFn = reinterpret_cast<ExitFn> (dlsym (handle, "ModuleExit"));
    auto getFactory = reinterpret_cast<FactoryFn> (dlsym (handle, "GetPluginFactory"));

    if (getFactory == nullptr)
    {
        dlclose (handle);
        return juce::Result::fail ("the module exports no GetPluginFactory");
    }

    if (entry != nullptr && ! entry (handle))
    {
        dlclose (handle);
        return juce::Result::fail ("ModuleEntry refused to start");
    }

    auto result = juce::Result::ok();

    if (auto* factory = getFactory())
    {
        PFactoryInfo factoryInfo {};
        factory->getFactoryInfo (&factoryInfo);
        info.vendor = factoryInfo.vendor;
        info.url = factoryInfo.url;
        info.email = factoryInfo.email;
        info.flags = factoryInfo.flags;

        IPluginFactory2* factory2 = nullptr;
        factory->queryInterface (IPluginFactory2_iid, reinterpret_cast<void**> (&factory2));

        for (int32 i = 0; i < factory->countClasses(); ++i)
        {
            Vst3ClassInfo c;
            PClassInfo basic {};

            if (factory->getClassInfo (i, &basic) == kResultOk)
            {
                c.classId = hexClassId (basic.cid);
                c.category = basic.category;
                c.name = basic.name;
                c.cardinality = basic.cardinality;
            }

            PClassInfo2 extended {};

            if (factory2 != nullptr && factory2->getClassInfo2 (i, &extended) == kResultOk)
            {
                c.subCategories = extended.subCategories;
                c.vendor = extended.vendor;
                c.version = extended.version;
                c.sdkVersion = extended.sdkVersion;
                c.classFlags = extended.classFlags;
            }

            info.classes.push_back (c);
        }

        if (factory2 != nullptr)
            factory2->release();

        factory->release();
    }
    else
    {
        result = juce::Result::fail ("GetPluginFactory returned nothing");
    }

    if (exitFn != nullptr)
        exitFn();

    dlclose (handle);
    return result;
}
