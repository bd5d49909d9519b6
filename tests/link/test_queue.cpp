#include "link/Queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(Queue, NewQueueIsEmpty)
{
    CQueue q;
    EXPECT_EQ(q.GetCount(), 0);
    std::uint8_t out = 0xAA;
    EXPECT_FALSE(q.GetByte(&out));
    EXPECT_EQ(out, 0xAA) << "a refused get leaves the output untouched";
}

TEST(Queue, HoldsAtMost1023Bytes)
{
    CQueue q;
    for (int i = 0; i < 1023; ++i)
        ASSERT_TRUE(q.PutByte(static_cast<std::uint8_t>(i)));
    EXPECT_EQ(q.GetCount(), 1023);
    EXPECT_FALSE(q.PutByte(0x55));
    EXPECT_EQ(q.GetCount(), 1023);
    for (int i = 0; i < 1023; ++i) {
        std::uint8_t b = 0;
        ASSERT_TRUE(q.GetByte(&b));
        ASSERT_EQ(b, static_cast<std::uint8_t>(i)) << "the refused byte must not appear";
    }
    EXPECT_EQ(q.GetCount(), 0);
}

TEST(Queue, KeepsOrderAcrossWrapAndCarriesZeroBytes)
{
    CQueue q;
    // 1024 alternating puts and gets bring both indices round to 0 again.
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(q.PutByte(static_cast<std::uint8_t>(i * 7)));
        std::uint8_t b = 1;
        ASSERT_TRUE(q.GetByte(&b));
        ASSERT_EQ(b, static_cast<std::uint8_t>(i * 7));
    }
    EXPECT_EQ(q.GetCount(), 0);
    // Straddle the wrap from slot 1023 to slot 0 with zeros in the data.
    for (int i = 0; i < 1000; ++i) q.PutByte(1);
    for (int i = 0; i < 1000; ++i) { std::uint8_t b; q.GetByte(&b); }
    const std::uint8_t data[] = {0x02, 0x00, 0x33, 0x00, 0xFF, 0x03};
    for (int r = 0; r < 10; ++r)
        for (auto d : data) ASSERT_TRUE(q.PutByte(d));
    EXPECT_EQ(q.GetCount(), 60);
    for (int r = 0; r < 10; ++r)
        for (auto d : data) {
            std::uint8_t b = 0x77;
            ASSERT_TRUE(q.GetByte(&b));
            ASSERT_EQ(b, d);
        }
}

TEST(Queue, ChunkIsStoredWholeOrNotAtAll)
{
    std::vector<std::uint8_t> chunk(1024, 0x41);
    {
        CQueue q;
        EXPECT_FALSE(StoreChunk(q, chunk.data(), 1024)) << "a full reader buffer never fits";
        EXPECT_EQ(q.GetCount(), 0);
        EXPECT_TRUE(StoreChunk(q, chunk.data(), 1023));
        EXPECT_EQ(q.GetCount(), 1023);
    }
    for (int waiting : {0, 1, 500, 1022}) {
        for (int n : {0, 1, 1023 - waiting, 1024 - waiting}) {
            CQueue q;
            for (int i = 0; i < waiting; ++i) q.PutByte(0);
            const bool stored = StoreChunk(q, chunk.data(), n);
            EXPECT_EQ(stored, n + waiting <= 1023) << "waiting " << waiting << " n " << n;
            EXPECT_EQ(q.GetCount(), stored ? waiting + n : waiting);
        }
    }
}

TEST(Queue, TwoThreadsMoveMillionsOfBytesInOrder)
{
    CQueue q;
    constexpr std::uint32_t kBytes = 4'000'000;
    std::thread producer([&] {
        std::uint32_t sent = 0;
        std::uint8_t chunk[64];
        while (sent < kBytes) {
            const int n = static_cast<int>(std::min<std::uint32_t>(1 + sent % 63, kBytes - sent));
            for (int i = 0; i < n; ++i) chunk[i] = static_cast<std::uint8_t>((sent + i) * 31u);
            if (StoreChunk(q, chunk, n))
                sent += n;
            else
                std::this_thread::yield();
        }
    });
    std::uint32_t received = 0;
    std::uint32_t mismatches = 0;
    while (received < kBytes) {
        const int c = q.GetCount();
        if (c == 0) { std::this_thread::yield(); continue; }
        for (int i = 0; i < c; ++i) {
            std::uint8_t b;
            ASSERT_TRUE(q.GetByte(&b));
            if (b != static_cast<std::uint8_t>(received * 31u)) ++mismatches;
            ++received;
        }
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(q.GetCount(), 0);
}
