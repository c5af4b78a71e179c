#include "send/packthread.h"

#include "send/packprogress.h"

PackThread::PackThread(QObject *parent) : QThread(parent)
{
    qRegisterMetaType<SendPacker>();
}

PackThread::~PackThread()
{
    cancel();
    wait();
}

void PackThread::pack(const QStringList &dropped, std::shared_ptr<PackProgress> shared, int id)
{
    wait();
    paths = dropped;
    progress = std::move(shared);
    job = id;
    cancelled = false;
    start();
}

void PackThread::run()
{
    SendPacker packer;
    if (!packer.collect(paths, &cancelled)) {
        progress->finish(false);
        emit packFailed(job, packer.error(), packer.failedItem());
        return;
    }
    emit listed(job, packer);
    if (!packer.write(QStringLiteral("send"), progress.get(), &cancelled)) {
        progress->finish(false);
        emit packFailed(job, packer.error(), packer.failedItem());
        return;
    }
    progress->finish(true);
}
