#include "security/relaybuffer.h"

#include <cstring>

std::size_t RelayBuffer::room()
{
    if (tail == bytes.size() && head > 0) {
        std::memmove(bytes.data(), bytes.data() + head, tail - head);
        tail -= head;
        head = 0;
    }
    return bytes.size() - tail;
}

void RelayBuffer::taken(std::size_t count)
{
    head += count;
    if (head == tail)
        head = tail = 0;
}
