#pragma once

#include "AudioFrame.h"

#include <string>
#include <vector>

namespace testing_support
{
// Builds a frame the way a sender does, from interleaved samples.
inline std::string makeFrame (std::uint32_t streamId, int channels, int samples, const std::vector<float>& interleaved)
{
    std::string frame (tonvia::wire::headerSize + interleaved.size() * sizeof (float), '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*> (frame.data());
    tonvia::wire::writeHeader (bytes, { streamId, (std::uint16_t) channels, (std::uint16_t) samples });

    if (! interleaved.empty())
        std::memcpy (bytes + tonvia::wire::headerSize, interleaved.data(), interleaved.size() * sizeof (float));

    return frame;
}

// n consecutive values starting at `first`, each exactly representable.
inline std::vector<float> counting (int n, int first = 1)
{
    std::vector<float> v ((size_t) n);

    for (int i = 0; i < n; ++i)
        v[(size_t) i] = (float) (first + i);

    return v;
}
} // namespace testing_support
