#include <gtest/gtest.h>

#include "AudioFrame.h"
#include "support/Frames.h"

using namespace tonvia::wire;

TEST (WireFormat, HeaderIsLittleEndianWithMagicFirst)
{
    std::uint8_t bytes[headerSize] {};
    writeHeader (bytes, { 38848, 2, 512 });

    const std::uint8_t expected[] = { 'T', 'N', 'V', 'A', 0xC0, 0x97, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02 };
    EXPECT_EQ (0, std::memcmp (bytes, expected, sizeof (expected)));

    const auto header = readHeader (bytes);
    EXPECT_EQ (38848u, header.streamId);
    EXPECT_EQ (2, header.channels);
    EXPECT_EQ (512, header.samples);
}

TEST (WireFormat, FrameSizes)
{
    EXPECT_EQ (4108u, frameSize (2, 512));
    EXPECT_EQ (1036u, frameSize (1, 256));
    EXPECT_EQ (12u, frameSize (0, 0));
    EXPECT_EQ (12ull + 4ull * 65535ull * 65535ull, frameSize (65535, 65535));   // no 32-bit overflow
}

TEST (WireFormat, ParseAcceptsOnlyExactFrames)
{
    const auto good = testing_support::makeFrame (7, 2, 3, testing_support::counting (6));

    struct Case { const char* what; std::string bytes; bool accepted; };
    std::vector<Case> cases = {
        { "well formed", good, true },
        { "one byte short", good.substr (0, good.size() - 1), false },
        { "one byte long", good + '\0', false },
        { "empty", "", false },
        { "eleven bytes", good.substr (0, 11), false },
        { "header only with zero counts", testing_support::makeFrame (5, 0, 0, {}), true },
        { "wrong magic", "TNVB" + good.substr (4), false },
        { "lower-case magic", "tnva" + good.substr (4), false },
    };

    // Every short length of a valid frame is refused.
    for (size_t n = 0; n < good.size(); ++n)
        cases.push_back ({ "truncated", good.substr (0, n), false });

    for (const auto& c : cases)
    {
        const auto parsed = parseFrame (reinterpret_cast<const std::uint8_t*> (c.bytes.data()), c.bytes.size());
        EXPECT_EQ (c.accepted, parsed.has_value()) << c.what << " (" << c.bytes.size() << " bytes)";
    }
}

TEST (WireFormat, AbsurdCountsNeverMatchASmallMessage)
{
    std::string frame (64, '\0');
    writeHeader (reinterpret_cast<std::uint8_t*> (frame.data()), { 1, 0xffff, 0xffff });
    EXPECT_FALSE (parseFrame (reinterpret_cast<const std::uint8_t*> (frame.data()), frame.size()).has_value());
}
