#include "ProjectState.h"

namespace ProjectState
{
namespace
{
const juce::Identifier stateType ("TonviaState");
const juce::Identifier modeProperty ("mode");
const juce::Identifier tokenProperty ("token");

// Walks the bytes the way JUCE's ValueTree and var readers do, without building anything,
// and refuses anything that runs past the end: a truncated state would otherwise be read as
// a tree with its later properties missing, silently dropping the saved token.
class BlobScanner
{
public:
    BlobScanner (const juce::uint8* dataIn, size_t sizeIn) : data (dataIn), size (sizeIn) {}

    bool scanTree (int depth)
    {
        if (depth > maxDepth || readString() == 0)
            return false;

        const auto numProps = readCount();

        for (int i = 0; ok && i < numProps; ++i)
        {
            if (readString() == 0)
                return false;

            scanVar (depth + 1);
        }

        const auto numChildren = readCount();

        for (int i = 0; ok && i < numChildren; ++i)
            if (! scanTree (depth + 1))
                return false;

        return ok;
    }

private:
    static constexpr int maxDepth = 32;

    size_t remaining() const noexcept { return size - pos; }

    void need (size_t n) noexcept
    {
        if (n > remaining())
            ok = false;
        else
            pos += n;
    }

    // Length of a zero-terminated text; a text without its terminator is a truncation.
    size_t readString() noexcept
    {
        const auto start = pos;

        while (pos < size && data[pos] != 0)
            ++pos;

        if (pos == size)
        {
            ok = false;
            return 0;
        }

        return ++pos - start - 1;
    }

    int readCompressedInt() noexcept
    {
        if (remaining() == 0)
        {
            ok = false;
            return 0;
        }

        const auto sizeByte = data[pos++];
        const auto numBytes = (size_t) (sizeByte & 0x7f);

        if (numBytes > 4 || numBytes > remaining())
        {
            ok = false;
            return 0;
        }

        juce::uint32 value = 0;

        for (size_t i = 0; i < numBytes; ++i)
            value |= (juce::uint32) data[pos++] << (8 * i);

        const auto magnitude = (int) value;
        return (sizeByte & 0x80) != 0 ? -magnitude : magnitude;
    }

    // A count of items that each take at least one byte, so it cannot exceed what is left.
    int readCount() noexcept
    {
        const auto count = readCompressedInt();

        if (count < 0 || (size_t) count > remaining())
            ok = false;

        return ok ? count : 0;
    }

    void scanVar (int depth)
    {
        const auto numBytes = readCompressedInt();

        if (! ok || numBytes <= 0)
            return;

        if (depth > maxDepth || remaining() == 0)
        {
            ok = false;
            return;
        }

        switch (data[pos++])
        {
            case 1:  need (4); break;                        // int
            case 2:
            case 3:  break;                                  // true, false
            case 4:
            case 6:  need (8); break;                        // double, int64
            case 7:                                          // array: a count, then the values
            {
                const auto count = readCount();

                for (int i = 0; ok && i < count; ++i)
                    scanVar (depth + 1);

                break;
            }
            default: need ((size_t) (numBytes - 1)); break;  // text, binary block, unknown kind
        }
    }

    const juce::uint8* data;
    size_t size;
    size_t pos = 0;
    bool ok = true;
};
} // namespace

void write (const Values& values, juce::MemoryBlock& destData)
{
    juce::ValueTree tree (stateType);
    tree.setProperty (modeProperty, values.mode == 0 ? "send" : "receive", nullptr);
    tree.setProperty (tokenProperty, values.token, nullptr);

    juce::MemoryOutputStream stream (destData, true);
    tree.writeToStream (stream);
}

bool isSafeToRead (const void* data, size_t sizeInBytes)
{
    if (data == nullptr || sizeInBytes == 0)
        return false;

    return BlobScanner (static_cast<const juce::uint8*> (data), sizeInBytes).scanTree (0);
}

bool read (const void* data, int sizeInBytes, Values& values)
{
    if (sizeInBytes <= 0 || ! isSafeToRead (data, (size_t) sizeInBytes))
        return false;

    juce::MemoryInputStream stream (data, (size_t) sizeInBytes, false);
    const auto tree = juce::ValueTree::readFromStream (stream);

    if (! tree.isValid())
        return false;

    const auto& mode = tree.getProperty (modeProperty);
    values.mode = (mode.isString() && mode.toString() == "receive") ? 1 : 0;
    values.token = tree.getProperty (tokenProperty).toString();
    return true;
}
} // namespace ProjectState
