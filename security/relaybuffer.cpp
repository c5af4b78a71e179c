#include "security/relaybuffer.h"

#include <algorithm>

std::size_t RelayBuffer::span() const
{
    return std::min(held, bytes.size() - head);
}

std::size_t RelayBuffer::room() const
{
    const std::size_t tail = head + held;
    return tail < bytes.size() ? bytes.size() - tail : bytes.size() - held;
}

char *RelayBuffer::end()
{
    const std::size_t tail = head + held;
    return bytes.data() + (tail < bytes.size() ? tail : tail - bytes.size());
}

void RelayBuffer::taken(std::size_t count)
{
    head += count;
    held -= count;
    // Once empty it starts over, so that the next fill comes in one piece.
    if (head == bytes.size() || held == 0)
        head = 0;
}
