#ifndef HANDED_H
#define HANDED_H

#include <condition_variable>
#include <mutex>
#include <optional>

// A pool job's result, handed over under a standard mutex, which ThreadSanitizer follows.
template <typename Value> class Handed
{
public:
    void set(Value value)
    {
        const std::lock_guard<std::mutex> guard(lock);
        held = std::move(value);
        ready.notify_all();
    }
    Value take()
    {
        std::unique_lock<std::mutex> guard(lock);
        ready.wait(guard, [this] { return held.has_value(); });
        return std::move(*held);
    }

private:
    std::mutex lock;
    std::condition_variable ready;
    std::optional<Value> held;
};

#endif // HANDED_H
