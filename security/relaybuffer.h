#ifndef RELAYBUFFER_H
#define RELAYBUFFER_H

#include <cstddef>
#include <vector>

// Bytes on their way from one end of a relay to the other: filled at its tail, emptied from its
// head, moved back to the start only when the tail has nowhere left to go.
class RelayBuffer
{
public:
    explicit RelayBuffer(std::size_t capacity) : bytes(capacity) {}

    bool isEmpty() const { return head == tail; }
    std::size_t size() const { return tail - head; }
    const char *data() const { return bytes.data() + head; }
    // Room at the tail, made by moving what is held to the start when needed.
    std::size_t room();
    char *end() { return bytes.data() + tail; }
    void filled(std::size_t count) { tail += count; }
    void taken(std::size_t count);

private:
    std::vector<char> bytes;
    std::size_t head = 0;
    std::size_t tail = 0;
};

#endif // RELAYBUFFER_H
