#include <gtest/gtest.h>

#include "SpscRecordQueue.h"

#include <numeric>
#include <thread>

using tonvia::SpscRecordQueue;

namespace
{
std::string popString (SpscRecordQueue& q)
{
    const auto r = q.front();

    if (r.data() == nullptr)
        return "<empty>";

    std::string s (reinterpret_cast<const char*> (r.data()), r.size());
    q.pop();
    return s;
}
} // namespace

TEST (RecordQueue, KeepsRecordsInOrderAcrossTheWrap)
{
    SpscRecordQueue q (256);

    // Push and pop records of varied sizes many times round the buffer.
    for (int round = 0; round < 200; ++round)
    {
        const std::string a (size_t (round % 37), char ('a' + round % 26));
        const std::string b (size_t ((round * 7) % 50 + 1), char ('A' + round % 26));
        ASSERT_TRUE (q.push (a.data(), a.size()));
        ASSERT_TRUE (q.push (b.data(), b.size()));
        ASSERT_EQ (a, popString (q));
        ASSERT_EQ (b, popString (q));
        ASSERT_TRUE (q.empty());
    }
}

TEST (RecordQueue, RefusesWhenFullAndRecoversAfterPop)
{
    SpscRecordQueue q (128);
    const std::string record (20, 'x');   // 24 bytes with its length, rounded to 24
    int pushed = 0;

    while (q.push (record.data(), record.size()))
        ++pushed;

    EXPECT_EQ (5, pushed);   // 5 x 24 = 120 of 128; a sixth would close the gap to the reader
    EXPECT_FALSE (q.push ("y", 1));

    // One record read: the 8-byte tail can take a small record, but a 24-byte one would have
    // to wrap onto the reader's position.
    EXPECT_EQ (record, popString (q));
    EXPECT_FALSE (q.push (record.data(), record.size()));
    EXPECT_TRUE (q.push ("y", 1));

    // A second read frees room at the start, where the next record wraps to.
    EXPECT_EQ (record, popString (q));
    EXPECT_TRUE (q.push (record.data(), record.size()));

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (record, popString (q));

    EXPECT_EQ ("y", popString (q));
    EXPECT_EQ (record, popString (q));
    EXPECT_TRUE (q.empty());
}

TEST (RecordQueue, NeverHandsOutMoreThanFitsAndClearDropsAll)
{
    SpscRecordQueue q (1024);
    EXPECT_EQ (nullptr, q.beginWrite (2000));
    EXPECT_NE (nullptr, q.beginWrite (q.maxRecordSize()));
    q.commitWrite();
    EXPECT_FALSE (q.empty());
    q.clear();
    EXPECT_TRUE (q.empty());
    EXPECT_EQ (nullptr, q.front().data());
}

TEST (RecordQueue, MaxRecordAlwaysFitsAnEmptyQueueWhereverItStands)
{
    SpscRecordQueue q (1024);

    for (size_t offset = 0; offset < 512; offset += 8)
    {
        std::string pad (offset > 8 ? offset - 8 : 0, 'p');   // moves the positions along
        ASSERT_TRUE (q.push (pad.data(), pad.size()));
        popString (q);
        ASSERT_TRUE (q.empty());
        ASSERT_NE (nullptr, q.beginWrite (q.maxRecordSize())) << "at offset " << offset;
        q.commitWrite();
        ASSERT_EQ (q.maxRecordSize(), q.front().size());
        q.pop();
    }
}

// A real producer and consumer: every record arrives once, whole and in order.
TEST (RecordQueue, ProducerAndConsumerThreadsAgree)
{
    SpscRecordQueue q (4096);
    constexpr int records = 200000;

    std::thread producer ([&]
    {
        for (int i = 0; i < records;)
        {
            const auto length = size_t (4 + (i % 61) * 4);
            auto* dst = q.beginWrite (length);

            if (dst == nullptr)
            {
                std::this_thread::yield();
                continue;
            }

            for (size_t k = 0; k < length; k += 4)
                std::memcpy (dst + k, &i, 4);

            q.commitWrite();
            ++i;
        }
    });

    int expected = 0;
    bool allGood = true;

    while (expected < records)
    {
        const auto r = q.front();

        if (r.data() == nullptr)
        {
            std::this_thread::yield();
            continue;
        }

        allGood = allGood && r.size() == size_t (4 + (expected % 61) * 4);

        for (size_t k = 0; k < r.size(); k += 4)
        {
            int value;
            std::memcpy (&value, r.data() + k, 4);
            allGood = allGood && value == expected;
        }

        q.pop();
        ++expected;
    }

    producer.join();
    EXPECT_TRUE (allGood);
    EXPECT_TRUE (q.empty());
}
