#ifndef RELAYBUFFER_H
#define RELAYBUFFER_H

#include <cstddef>
#include <vector>

// Bytes on their way from one end of a relay to the other, in a ring: filled at its tail, emptied
// from its head, never moved. Both the held bytes and the room come in at most two pieces, the
// one up to the end of the storage first.
class RelayBuffer
{
public:
    explicit RelayBuffer(std::size_t capacity) : bytes(capacity) {}

    bool isEmpty() const { return held == 0; }
    // All the bytes held.
    std::size_t size() const { return held; }
    // The first of them, and how many follow there in one piece.
    const char *data() const { return bytes.data() + head; }
    std::size_t span() const;
    // Room in one piece at the tail.
    std::size_t room() const;
    char *end();
    void filled(std::size_t count) { held += count; }
    void taken(std::size_t count);

private:
    std::vector<char> bytes;
    std::size_t head = 0;
    std::size_t held = 0;
};

#endif // RELAYBUFFER_H
