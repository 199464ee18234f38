// Saving and restoring the project state, to the byte, and what restore does with bad blobs.

#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "ProjectState.h"

namespace
{
juce::MemoryBlock save (TonviaProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

juce::MemoryBlock bytesOf (std::initializer_list<int> values)
{
    juce::MemoryBlock block;
    for (auto v : values)
        block.append (&v, 1);   // little-endian: the low byte first
    return block;
}

juce::MemoryBlock treeBytes (const juce::ValueTree& tree)
{
    juce::MemoryBlock block;
    juce::MemoryOutputStream out (block, false);
    tree.writeToStream (out);
    out.flush();
    return block;
}

void restore (TonviaProcessor& p, const juce::MemoryBlock& block)
{
    p.setStateInformation (block.getData(), (int) block.getSize());
}
} // namespace

TEST (ProjectState, FreshInstanceSavesThese38Bytes)
{
    TonviaProcessor p;
    const auto block = save (p);

    juce::MemoryBlock expected;
    expected.append ("TonviaState", 11);
    expected.append (bytesOf ({ 0x00, 0x01, 0x02 }).getData(), 3);
    expected.append ("mode", 4);
    expected.append (bytesOf ({ 0x00, 0x01, 0x06, 0x05 }).getData(), 4);
    expected.append ("send", 4);
    expected.append (bytesOf ({ 0x00 }).getData(), 1);
    expected.append ("token", 5);
    expected.append (bytesOf ({ 0x00, 0x01, 0x02, 0x05, 0x00, 0x00 }).getData(), 6);

    ASSERT_EQ (38u, expected.getSize());
    EXPECT_EQ (expected, block);
}

TEST (ProjectState, RoundTripsModeAndTokenIncludingUtf8)
{
    struct Case { int mode; juce::String token; const char* expectedMode; };
    const Case cases[] = {
        { 0, "", "send" },
        { 1, "abc123", "receive" },
        { 7, juce::String (juce::CharPointer_UTF8 ("r\xc3\xa4um-\xe2\x82\xac-\xf0\x9f\x8e\xb5")), "receive" },
        { 0, juce::String::repeatedString ("x", 5000), "send" },
    };

    for (const auto& c : cases)
    {
        TonviaProcessor source;
        source.mode = c.mode;
        source.sessionToken = c.token;
        const auto block = save (source);

        juce::MemoryInputStream in (block, false);
        const auto tree = juce::ValueTree::readFromStream (in);
        EXPECT_EQ (juce::String ("TonviaState"), tree.getType().toString());
        EXPECT_EQ (juce::String (c.expectedMode), tree["mode"].toString());

        TonviaProcessor target;
        target.authToken = "bearer";
        target.apiBaseUrl = "http://example.invalid";
        target.bridge.selectedStreamId = 5;
        target.bridge.setStatus ("kept");
        restore (target, block);

        EXPECT_EQ (c.mode == 0 ? 0 : 1, target.mode.load());
        EXPECT_EQ (c.token, target.sessionToken);
        // Nothing else moves.
        EXPECT_EQ (juce::String ("bearer"), target.authToken);
        EXPECT_EQ (juce::String ("http://example.invalid"), target.apiBaseUrl);
        EXPECT_EQ (5, target.bridge.selectedStreamId.load());
        EXPECT_EQ (juce::String ("kept"), target.bridge.getStatus());
        EXPECT_FALSE (target.bridge.connected.load());
    }
}

TEST (ProjectState, SaveAppendsAfterExistingBytes)
{
    TonviaProcessor p;
    juce::MemoryBlock block ("prefix", 6);
    p.getStateInformation (block);
    ASSERT_EQ (6u + 38u, block.getSize());
    EXPECT_EQ (0, std::memcmp (block.getData(), "prefix", 6));
    EXPECT_EQ (0, std::memcmp (static_cast<const char*> (block.getData()) + 6, "TonviaState", 11));
}

TEST (ProjectState, RestoreReadsTreesAsTheyCome)
{
    struct Case { const char* what; juce::ValueTree tree; int expectedMode; juce::String expectedToken; };

    auto make = [] (const char* type, std::initializer_list<std::pair<const char*, juce::var>> props)
    {
        juce::ValueTree t (type);
        for (const auto& [name, value] : props)
            t.setProperty (name, value, nullptr);
        return t;
    };

    const Case cases[] = {
        { "capitalised Receive", make ("TonviaState", { { "mode", "Receive" }, { "token", "t" } }), 0, "t" },
        { "another tree type", make ("SomethingElse", { { "mode", "receive" }, { "token", "x" } }), 1, "x" },
        { "no properties", make ("TonviaState", {}), 0, "" },
        { "numeric mode", make ("TonviaState", { { "mode", 1 }, { "token", 42 } }), 0, "42" },
        { "with children", [&] { auto t = make ("TonviaState", { { "mode", "receive" } });
                                  t.appendChild (make ("Child", { { "x", 1 } }), nullptr);
                                  return t; }(), 1, "" },
    };

    for (const auto& c : cases)
    {
        TonviaProcessor p;
        p.mode = 1;
        p.sessionToken = "before";
        restore (p, treeBytes (c.tree));
        EXPECT_EQ (c.expectedMode, p.mode.load()) << c.what;
        EXPECT_EQ (c.expectedToken, p.sessionToken) << c.what;
    }
}

TEST (ProjectState, UnreadableBlobsChangeNothing)
{
    TonviaProcessor saved;
    saved.mode = 1;
    saved.sessionToken = "room-token";
    const auto good = save (saved);

    std::vector<std::pair<std::string, juce::MemoryBlock>> blobs;
    blobs.push_back ({ "empty", {} });
    blobs.push_back ({ "single zero byte", bytesOf ({ 0 }) });

    // Every truncation of a real state.
    for (size_t n = 1; n < good.getSize(); ++n)
        blobs.push_back ({ "truncated to " + std::to_string (n), juce::MemoryBlock (good.getData(), n) });

    // Hostile counts that JUCE's reader would otherwise trust.
    auto hostile = [] (std::initializer_list<int> tail)
    {
        juce::MemoryBlock b ("T", 1);
        b.append (bytesOf ({ 0 }).getData(), 1);
        b.append (bytesOf (tail).getData(), tail.size());
        return b;
    };
    blobs.push_back ({ "2^31-1 properties", hostile ({ 0x04, 0xff, 0xff, 0xff, 0x7f }) });
    blobs.push_back ({ "2^31-1 children", hostile ({ 0x00, 0x04, 0xff, 0xff, 0xff, 0x7f }) });
    blobs.push_back ({ "2 GB binary value", hostile ({ 0x01, 0x01, 'v', 0x00, 0x04, 0xff, 0xff, 0xff, 0x7f, 0x08 }) });
    blobs.push_back ({ "2^31 array elements", hostile ({ 0x01, 0x01, 'v', 0x00, 0x01, 0x05, 0x07, 0x04, 0xff, 0xff, 0xff, 0x7f }) });

    // A deep chain of single children.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep.append ("c\0\0\1\1", 5);   // type "c", no properties, one child
    blobs.push_back ({ "deeply nested children", juce::MemoryBlock (deep.data(), deep.size()) });

    for (const auto& [what, blob] : blobs)
    {
        TonviaProcessor p;
        p.mode = 1;
        p.sessionToken = "unchanged";
        restore (p, blob);
        EXPECT_EQ (1, p.mode.load()) << what;
        EXPECT_EQ (juce::String ("unchanged"), p.sessionToken) << what;
    }
}

TEST (ProjectState, RandomBlobsNeverCrashOrHang)
{
    juce::Random random (1234);

    for (int i = 0; i < 5000; ++i)
    {
        juce::MemoryBlock blob ((size_t) random.nextInt (200));
        random.fillBitsRandomly (blob.getData(), blob.getSize());

        // Start some with a plausible type name so the reader gets further in.
        if (i % 2 == 0 && blob.getSize() > 12)
            std::memcpy (blob.getData(), "TonviaState", 12);

        ProjectState::Values values;
        ProjectState::read (blob.getData(), (int) blob.getSize(), values);
        EXPECT_TRUE (values.mode == 0 || values.mode == 1);
    }
}
