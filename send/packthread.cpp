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

void PackThread::pack(const QStringList &dropped, std::shared_ptr<PackProgress> shared)
{
    wait();
    paths = dropped;
    progress = std::move(shared);
    cancelled = false;
    start();
}

void PackThread::run()
{
    SendPacker packer;
    if (!packer.collect(paths)) {
        progress->finish(false);
        emit packFailed(packer.error(), packer.failedItem());
        return;
    }
    emit listed(packer);
    if (!packer.write(QStringLiteral("send"), progress.get(), &cancelled)) {
        progress->finish(false);
        emit packFailed(packer.error(), packer.failedItem());
        return;
    }
    progress->finish(true);
    emit packed();
}
