#ifndef HANDOVER_H
#define HANDOVER_H

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Hands calls from any thread to the thread this object lives in, where they run in the order
// posted. What a call carries passes under a lock of the standard library, which ThreadSanitizer
// follows into the other thread; through Qt's event queue alone it cannot, its locks being out of
// its sight. The engine's threads use it both ways, and for their ends (see settle()).
class HandOver : public QObject
{
    Q_OBJECT

public:
    explicit HandOver(QObject *parent = nullptr);
    ~HandOver() override; // calls that came too late to run are dropped

    // Safe from any thread.
    void post(std::function<void()> call);

    // A slot for a direct connection: copies the signal's arguments in the emitting thread and
    // runs `call` with them in this object's thread.
    template <typename Call> auto relay(Call call)
    {
        return [this, call](const auto &...args) { post([call, args...] { call(args...); }); };
    }

    // Called by a thread as the last thing it does and by whoever waited for that thread before
    // it frees what the thread used: what the thread did then comes before the freeing.
    void settle();

private:
    Q_INVOKABLE void runPosted();

    std::mutex lock;
    std::vector<std::function<void()>> posted;
};

#endif // HANDOVER_H
