#pragma once

#include <juce_data_structures/juce_data_structures.h>

// The state saved with the host project: a tree "TonviaState" holding the mode ("send" or
// "receive") and the room token, in JUCE's binary ValueTree form.
namespace ProjectState
{
struct Values
{
    int mode = 0;
    juce::String token;
};

// Appends the serialised tree to the block, after whatever it already holds.
void write (const Values& values, juce::MemoryBlock& destData);

// Reads a saved state; false (and `values` untouched) when the bytes hold no readable tree.
bool read (const void* data, int sizeInBytes, Values& values);

// True when the bytes hold one whole tree that juce::ValueTree::readFromStream can read without
// danger: nothing is cut off, every count fits in the bytes that remain and nesting stays
// shallow. JUCE's reader trusts the counts it reads, so a damaged or hostile blob could
// otherwise make it allocate gigabytes, loop for billions of steps or recurse until the stack
// runs out, and it reads a truncated blob as a tree that lacks its later properties.
bool isSafeToRead (const void* data, size_t sizeInBytes);
} // namespace ProjectState
