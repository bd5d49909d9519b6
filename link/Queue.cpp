#include "link/Queue.h"

#include <cstring>

void CQueue::Clear()
{
    m_nTail.store(0, std::memory_order_release);
    m_nHead.store(0, std::memory_order_release);
    std::memset(m_Buffer, 0, sizeof m_Buffer);
}

int CQueue::GetCount() const
{
    const std::int32_t head = m_nHead.load(std::memory_order_acquire);
    const std::int32_t tail = m_nTail.load(std::memory_order_acquire);
    return (head - tail + QUEUE_SIZE) % QUEUE_SIZE;
}

bool CQueue::PutByte(std::uint8_t b)
{
    if (GetCount() == QUEUE_SIZE - 1)
        return false;
    const std::int32_t head = m_nHead.load(std::memory_order_relaxed);
    m_Buffer[head] = b;
    m_nHead.store((head + 1) % QUEUE_SIZE, std::memory_order_release);
    return true;
}

bool CQueue::GetByte(std::uint8_t* b)
{
    if (GetCount() == 0)
        return false;
    const std::int32_t tail = m_nTail.load(std::memory_order_relaxed);
    *b = m_Buffer[tail];
    m_nTail.store((tail + 1) % QUEUE_SIZE, std::memory_order_release);
    return true;
}

bool StoreChunk(CQueue& queue, const std::uint8_t* data, int n)
{
    if (n < 0)
        return false;
    if (!(n < CQueue::QUEUE_SIZE - queue.GetCount()))
        return false;
    for (int i = 0; i < n; ++i)
        queue.PutByte(data[i]);
    return true;
}
