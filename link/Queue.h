#pragma once

#include <atomic>
#include <cstdint>

// Byte ring that carries received bytes from one reader thread (producer) to
// the user-interface thread (consumer). Holds at most QUEUE_SIZE - 1 bytes so
// that a full ring never looks empty. Each index has a single writer; the
// release store of an index publishes the slot it covers to the other thread.
class CQueue {
public:
    static constexpr int QUEUE_SIZE = 1024;

    CQueue() { Clear(); }
    CQueue(const CQueue&) = delete;
    CQueue& operator=(const CQueue&) = delete;

    // Only safe while no other thread uses the queue.
    void Clear();
    int GetCount() const;
    bool PutByte(std::uint8_t b);
    bool GetByte(std::uint8_t* b);

private:
    std::uint8_t m_Buffer[QUEUE_SIZE];
    std::atomic<std::int32_t> m_nHead;
    std::atomic<std::int32_t> m_nTail;
};

// Producer rule shared by both reader threads: a chunk of n bytes is stored
// whole when it fits into the free slots, otherwise nothing of it is stored.
// Returns false when the chunk was dropped.
bool StoreChunk(CQueue& queue, const std::uint8_t* data, int n);
