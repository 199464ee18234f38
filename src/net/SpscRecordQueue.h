#pragma once

// A single-producer, single-consumer queue of variable-sized byte records in one buffer that
// is allocated once. The producer reserves a contiguous region, fills it in place and commits
// it; the consumer sees each record as one contiguous span until it pops it. Neither side
// allocates, locks or waits, so the producer may be a real-time audio thread.
//
// Records never wrap: when a record does not fit at the end of the buffer, a wrap marker is
// left there and the record starts at offset 0. A full queue refuses the record.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace tonvia
{

class SpscRecordQueue
{
public:
    explicit SpscRecordQueue (std::size_t capacityBytes)
        : capacity (roundUp (capacityBytes)),
          storage (new std::uint8_t[capacity])
    {
    }

    std::size_t capacityBytes() const noexcept { return capacity; }

    // The largest record that is always accepted by an empty queue.
    std::size_t maxRecordSize() const noexcept { return capacity / 2 - 16; }

    //==============================================================================
    // Producer side.

    // Returns a region of `size` bytes to fill, or nullptr when the queue has no room.
    // Every successful call must be followed by commitWrite() before the next beginWrite().
    std::uint8_t* beginWrite (std::size_t size) noexcept
    {
        const auto need = roundUp (lengthSize + size);
        const auto w = writePos.load (std::memory_order_relaxed);
        const auto r = readPos.load (std::memory_order_acquire);

        std::size_t at;

        if (w >= r)
        {
            if (need < capacity - w || (need == capacity - w && r != 0))
                at = w;
            else if (need < r)
                at = 0;                       // wrap: the tail end is too short
            else
                return nullptr;
        }
        else
        {
            if (need < r - w)
                at = w;
            else
                return nullptr;
        }

        if (at != w)
            storeLength (w, wrapMarker);

        storeLength (at, static_cast<std::uint32_t> (size));
        pendingEnd = at + need == capacity ? 0 : at + need;
        return storage.get() + at + lengthSize;
    }

    void commitWrite() noexcept
    {
        writePos.store (pendingEnd, std::memory_order_release);
    }

    // Copies a whole record in; false when it does not fit.
    bool push (const void* data, std::size_t size) noexcept
    {
        auto* dst = beginWrite (size);

        if (dst == nullptr)
            return false;

        if (size > 0)
            std::memcpy (dst, data, size);

        commitWrite();
        return true;
    }

    //==============================================================================
    // Consumer side.

    // The oldest record, or an empty span with a null data pointer when there is none.
    std::span<const std::uint8_t> front() noexcept
    {
        auto r = readPos.load (std::memory_order_relaxed);
        const auto w = writePos.load (std::memory_order_acquire);

        if (r == w)
            return {};

        auto length = loadLength (r);

        if (length == wrapMarker)
        {
            r = 0;
            readPos.store (0, std::memory_order_release);

            if (r == w)
                return {};

            length = loadLength (0);
        }

        return { storage.get() + r + lengthSize, length };
    }

    // Releases the oldest record; only call it when front() has returned one.
    void pop() noexcept
    {
        auto r = readPos.load (std::memory_order_relaxed);
        auto length = loadLength (r);

        if (length == wrapMarker)
        {
            r = 0;
            length = loadLength (0);
        }

        const auto need = roundUp (lengthSize + length);
        readPos.store (r + need == capacity ? 0 : r + need, std::memory_order_release);
    }

    // Drops everything committed so far.
    void clear() noexcept
    {
        readPos.store (writePos.load (std::memory_order_acquire), std::memory_order_release);
    }

    bool empty() const noexcept
    {
        return readPos.load (std::memory_order_acquire) == writePos.load (std::memory_order_acquire);
    }

private:
    static constexpr std::size_t lengthSize = sizeof (std::uint32_t);
    static constexpr std::uint32_t wrapMarker = 0xffffffffu;

    static constexpr std::size_t roundUp (std::size_t n) noexcept { return (n + 7) & ~std::size_t (7); }

    void storeLength (std::size_t at, std::uint32_t length) noexcept { std::memcpy (storage.get() + at, &length, lengthSize); }

    std::uint32_t loadLength (std::size_t at) const noexcept
    {
        std::uint32_t length;
        std::memcpy (&length, storage.get() + at, lengthSize);
        return length;
    }

    const std::size_t capacity;
    std::unique_ptr<std::uint8_t[]> storage;
    std::atomic<std::size_t> writePos { 0 }, readPos { 0 };
    std::size_t pendingEnd = 0;   // producer only
};

} // namespace tonvia
