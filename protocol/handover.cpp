#include "protocol/handover.h"

HandOver::HandOver(QObject *parent) : QObject(parent) {}

HandOver::~HandOver()
{
    const std::lock_guard<std::mutex> guard(lock);
    posted.clear();
}

void HandOver::post(std::function<void()> call)
{
    // Queued under the lock too, so that nothing of this object is touched from the calling
    // thread after its own thread may have taken the call and gone on.
    const std::lock_guard<std::mutex> guard(lock);
    posted.push_back(std::move(call));
    QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void HandOver::settle()
{
    const std::lock_guard<std::mutex> guard(lock);
}

void HandOver::runPosted()
{
    std::vector<std::function<void()>> calls;
    {
        const std::lock_guard<std::mutex> guard(lock);
        calls.swap(posted);
    }
    for (const auto &call : calls)
        call();
}
