// What a VST3 host sees of the freshly built bundle, through tonvia-host (JUCE's own hosting).

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace
{
struct Run
{
    int exitCode = -1;
    std::string output;
    std::map<std::string, std::string> values;
};

Run runHost (const std::string& arguments)
{
    Run run;
    const std::string command = std::string (TONVIA_HOST_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen (command.c_str(), "r");

    if (pipe == nullptr)
        return run;

    std::array<char, 4096> chunk {};

    while (fgets (chunk.data(), (int) chunk.size(), pipe) != nullptr)
        run.output += chunk.data();

    run.exitCode = WEXITSTATUS (pclose (pipe));

    std::istringstream lines (run.output);
    std::string line;

    while (std::getline (lines, line))
        if (const auto colon = line.find (": "); colon != std::string::npos)
            run.values[line.substr (0, colon)] = line.substr (colon + 2);

    return run;
}

std::string bundle() { return std::string ("\"") + TONVIA_BUNDLE_PATH + "\""; }

std::filesystem::path scratch (const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / "tonvia_host_tests";
    std::filesystem::create_directories (dir);
    return dir / name;
}

// The 38 bytes of a fresh instance's state, as hex.
const std::string freshStateHex =
    "546f6e76696153746174650001026d6f6465000106057365"
    "6e6400746f6b656e0001020500" "00";

std::string hexOf (const std::string& text)
{
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text)
    {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// A 32-bit float WAV file's samples, channel-interleaved, after its "data" chunk header.
std::vector<float> wavSamples (const std::filesystem::path& file)
{
    std::ifstream in (file, std::ios::binary);
    std::string bytes ((std::istreambuf_iterator<char> (in)), {});
    const auto data = bytes.find ("data");

    if (data == std::string::npos)
        return {};

    std::uint32_t size;
    std::memcpy (&size, bytes.data() + data + 4, 4);
    std::vector<float> samples (size / 4);
    std::memcpy (samples.data(), bytes.data() + data + 8, samples.size() * 4);
    return samples;
}
} // namespace

TEST (HostSees, IdentityAndClasses)
{
    const auto run = runHost ("info " + bundle());
    ASSERT_EQ (0, run.exitCode) << run.output;
    const auto& v = run.values;

    EXPECT_EQ ("Velunor", v.at ("factory.vendor"));
    EXPECT_EQ ("", v.at ("factory.url"));
    EXPECT_EQ ("", v.at ("factory.email"));
    EXPECT_EQ ("16", v.at ("factory.flags"));

    // This framework version publishes the component and the controller, no third class.
    ASSERT_EQ ("2", v.at ("classes"));
    struct Expected { const char* id; const char* category; };
    const Expected classes[] = {
        { "ABCDEF019182FAEB566C6E72546E7661", "Audio Module Class" },
        { "ABCDEF011234ABCD566C6E72546E7661", "Component Controller Class" },
    };

    for (int i = 0; i < 2; ++i)
    {
        const auto prefix = "class." + std::to_string (i) + ".";
        EXPECT_EQ (classes[i].id, v.at (prefix + "id"));
        EXPECT_EQ (classes[i].category, v.at (prefix + "category"));
        EXPECT_EQ ("Tonvia", v.at (prefix + "name"));
        EXPECT_EQ ("Fx", v.at (prefix + "subcategories"));
        EXPECT_EQ ("Velunor", v.at (prefix + "vendor"));
        EXPECT_EQ ("2.5.0", v.at (prefix + "version"));
        EXPECT_EQ ("2147483647", v.at (prefix + "cardinality"));
        EXPECT_EQ ("0", v.at (prefix + "flags"));
        EXPECT_EQ (0u, v.at (prefix + "sdk").rfind ("VST 3.", 0));
    }

    EXPECT_EQ ("Tonvia", v.at ("name"));
    EXPECT_EQ ("Velunor", v.at ("vendor"));
    EXPECT_EQ ("2.5.0", v.at ("version"));
    EXPECT_EQ ("Fx", v.at ("category"));
    EXPECT_EQ ("no", v.at ("instrument"));
    EXPECT_EQ ("no", v.at ("accepts-midi"));
    EXPECT_EQ ("no", v.at ("produces-midi"));
    EXPECT_EQ ("0", v.at ("tail-seconds"));
    EXPECT_EQ ("0", v.at ("latency-samples"));
    EXPECT_EQ ("yes", v.at ("has-editor"));

    EXPECT_EQ ("1", v.at ("input-buses"));
    EXPECT_EQ ("1", v.at ("output-buses"));
    EXPECT_EQ ("\"Input\" default Stereo, current Stereo, enabled", v.at ("input-bus.0"));
    EXPECT_EQ ("\"Output\" default Stereo, current Stereo, enabled", v.at ("output-bus.0"));

    // The processor has one program; the wrapper publishes a program list (and a program
    // parameter) only for more than one, so a host sees none.
    EXPECT_EQ ("0", v.at ("programs"));

    // The wrapper's own bypass parameter, and no program parameter.
    ASSERT_EQ ("1", v.at ("parameters"));
    EXPECT_EQ ("\"Bypass\" id " + std::to_string (0x62797073) + " bypass", v.at ("parameter.0"));
}

TEST (HostSees, LayoutsMonoAndStereoOnly)
{
    const auto run = runHost ("layouts " + bundle());
    ASSERT_EQ (0, run.exitCode) << run.output;

    const std::map<std::string, std::string> expected = {
        { "layout.mono->mono", "accepted" },
        { "layout.stereo->stereo", "accepted" },
        { "layout.mono->stereo", "refused" },
        { "layout.stereo->mono", "refused" },
        { "layout.5.1->5.1", "refused" },
        // VST3 lets a host switch buses off at will and the framework's wrapper always agrees,
        // without asking the processor (which itself refuses these: see the processor tests).
        { "layout.disabled->stereo", "accepted" },
        { "layout.stereo->disabled", "accepted" },
        { "layout.discrete2->discrete2", "refused" },
    };

    for (const auto& [key, value] : expected)
        EXPECT_EQ (value, run.values.at (key)) << key;
}

TEST (HostSees, FreshStateThroughTheWrapperAndBack)
{
    // The wrapper appends its own private section behind our 38 bytes.
    const auto saved = scratch ("state.bin");
    auto run = runHost ("state " + bundle() + " --save " + saved.string());
    ASSERT_EQ (0, run.exitCode) << run.output;
    const auto component = run.values.at ("component-state");
    EXPECT_EQ (0u, component.rfind (freshStateHex, 0)) << component;
    EXPECT_NE (std::string::npos, component.find (hexOf ("JUCEPrivateData")));

    // Load it into a new instance and save again: identical.
    run = runHost ("state " + bundle() + " --load " + saved.string());
    ASSERT_EQ (0, run.exitCode) << run.output;
    EXPECT_EQ (component, run.values.at ("component-state"));
}

TEST (HostSees, RestoredModeAndTokenThroughTheWrapper)
{
    // A project saved in receive mode with a token, as the component bytes a host would hold.
    const std::string state = hexOf (std::string ("TonviaState\0\x01\x02mode\0\x01\x09\x05receive\0token\0\x01\x07\x05room1\0\0", 46));
    const auto run = runHost ("state " + bundle() + " --set-component " + state);
    ASSERT_EQ (0, run.exitCode) << run.output;
    EXPECT_EQ (0u, run.values.at ("component-state").rfind (state, 0)) << run.values.at ("component-state");
}

TEST (HostSees, SendModePassesAudioThroughBitExact)
{
    struct Case { int channels, block; };

    for (const auto c : { Case { 2, 512 }, Case { 1, 256 }, Case { 2, 333 } })
    {
        const auto out = scratch ("out.wav");
        const auto reference = scratch ("reference.wav");
        std::filesystem::remove (out);

        const auto args = " --signal ramp --seconds 0.5 --rate 48000 --channels " + std::to_string (c.channels);
        auto run = runHost ("process " + bundle() + args + " --block " + std::to_string (c.block) + " --out " + out.string());
        ASSERT_EQ (0, run.exitCode) << run.output;
        EXPECT_EQ (std::to_string (c.channels), run.values.at ("channels"));

        // The same signal through a block size of one whole file equals it too: compare both
        // against the generator's own output, written by a run in receive-less send mode.
        const auto samples = wavSamples (out);
        ASSERT_EQ ((size_t) (24000 * c.channels), samples.size());

        for (size_t i = 0; i < samples.size(); ++i)
        {
            const int channel = (int) (i % (size_t) c.channels);
            const int index = (int) (i / (size_t) c.channels);
            const float expected = (float) ((index * 7 + channel * 3) % 65536) / 32768.0f - 1.0f;
            ASSERT_EQ (expected, samples[i]) << "sample " << index << " channel " << channel;
        }
    }
}

TEST (HostSees, ReceiveModeWithoutConnectionIsSilent)
{
    const auto stateFile = scratch ("receive-state.bin");
    const std::string state = hexOf (std::string ("TonviaState\0\x01\x02mode\0\x01\x09\x05receive\0token\0\x01\x02\x05\0\0", 41));
    auto run = runHost ("state " + bundle() + " --set-component " + state + " --save " + stateFile.string());
    ASSERT_EQ (0, run.exitCode) << run.output;

    const auto out = scratch ("silent.wav");
    run = runHost ("process " + bundle() + " --signal sine --seconds 0.25 --state " + stateFile.string() + " --out " + out.string());
    ASSERT_EQ (0, run.exitCode) << run.output;

    const auto samples = wavSamples (out);
    ASSERT_EQ (24000u, samples.size());

    for (const auto s : samples)
        ASSERT_EQ (0.0f, s);
}

TEST (HostSees, BadArgumentsAreRefusedPlainly)
{
    EXPECT_NE (0, runHost ("").exitCode);
    EXPECT_NE (0, runHost ("info /nonexistent/Thing.vst3").exitCode);
    EXPECT_NE (0, runHost ("process " + bundle() + " --signal nope --out x.wav").exitCode);
    EXPECT_NE (0, runHost ("process " + bundle() + " --channels 6 --out x.wav").exitCode);
}
