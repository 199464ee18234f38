#pragma once

// The binary audio frame that travels between instances through the relay, one frame per
// WebSocket message. Shared by the plug-in and the server; no JUCE here.
//
//   offset 0   4 bytes  magic "TNVA"
//   offset 4   4 bytes  stream id, unsigned little-endian
//   offset 8   2 bytes  channel count, unsigned little-endian (senders write 1 or 2)
//   offset 10  2 bytes  samples per channel, unsigned little-endian
//   offset 12  4 x channels x samples bytes of float32 (little-endian), interleaved by sample

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace tonvia::wire
{
static_assert (std::endian::native == std::endian::little,
               "frames carry little-endian floats copied straight from memory");

constexpr std::size_t headerSize = 12;
constexpr std::uint8_t magic[4] = { 'T', 'N', 'V', 'A' };

// The sample count field is 16 bits wide; longer blocks travel as several frames.
constexpr int maxSamplesPerFrame = 65535;

struct FrameHeader
{
    std::uint32_t streamId = 0;
    std::uint16_t channels = 0;
    std::uint16_t samples = 0;
};

constexpr std::uint64_t frameSize (std::uint64_t channels, std::uint64_t samples) noexcept
{
    return headerSize + 4 * channels * samples;
}

inline bool hasMagic (const std::uint8_t* data, std::size_t size) noexcept
{
    return size >= headerSize && std::memcmp (data, magic, sizeof (magic)) == 0;
}

inline std::uint32_t readU32 (const std::uint8_t* p) noexcept
{
    return std::uint32_t (p[0]) | (std::uint32_t (p[1]) << 8) | (std::uint32_t (p[2]) << 16) | (std::uint32_t (p[3]) << 24);
}

inline std::uint16_t readU16 (const std::uint8_t* p) noexcept
{
    return std::uint16_t (p[0] | (p[1] << 8));
}

// Reads the header fields; the caller has checked that at least headerSize bytes are there.
inline FrameHeader readHeader (const std::uint8_t* data) noexcept
{
    return { readU32 (data + 4), readU16 (data + 8), readU16 (data + 10) };
}

inline void writeHeader (std::uint8_t* dst, const FrameHeader& h) noexcept
{
    std::memcpy (dst, magic, sizeof (magic));
    dst[4] = std::uint8_t (h.streamId);
    dst[5] = std::uint8_t (h.streamId >> 8);
    dst[6] = std::uint8_t (h.streamId >> 16);
    dst[7] = std::uint8_t (h.streamId >> 24);
    dst[8] = std::uint8_t (h.channels);
    dst[9] = std::uint8_t (h.channels >> 8);
    dst[10] = std::uint8_t (h.samples);
    dst[11] = std::uint8_t (h.samples >> 8);
}

// A well-formed frame: long enough, the magic, and a length that matches its header exactly.
inline std::optional<FrameHeader> parseFrame (const std::uint8_t* data, std::size_t size) noexcept
{
    if (! hasMagic (data, size))
        return std::nullopt;

    const auto header = readHeader (data);

    if (frameSize (header.channels, header.samples) != size)
        return std::nullopt;

    return header;
}

} // namespace tonvia::wire
