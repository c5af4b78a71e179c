#ifndef PACKPROGRESS_H
#define PACKPROGRESS_H

#include <QtGlobal>

#include <condition_variable>
#include <mutex>

// How much of the work file "send" is written: the packing thread publishes each piece once it
// is on disk, and the send thread sends up to that point and waits there for more.
class PackProgress
{
public:
    enum State { Packing, Packed, Failed };

    void publish(qint64 written);
    void finish(bool packed);

    // Waits up to `ms` until more than `position` bytes are written or packing has ended.
    // Returns the bytes written; `state` tells whether more will come.
    qint64 waitBeyond(qint64 position, int ms, State *state) const;

private:
    mutable std::mutex mutex;
    mutable std::condition_variable grown;
    qint64 written = 0;
    State state = Packing;
};

#endif // PACKPROGRESS_H
