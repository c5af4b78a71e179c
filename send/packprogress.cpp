#include "send/packprogress.h"

#include <chrono>

void PackProgress::publish(qint64 bytes)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        written = bytes;
    }
    grown.notify_all();
}

void PackProgress::finish(bool packed)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        state = packed ? Packed : Failed;
    }
    grown.notify_all();
}

qint64 PackProgress::waitBeyond(qint64 position, int ms, State *now) const
{
    std::unique_lock<std::mutex> lock(mutex);
    grown.wait_for(lock, std::chrono::milliseconds(ms),
                   [&] { return written > position || state != Packing; });
    *now = state;
    return written;
}
