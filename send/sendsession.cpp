#include "send/sendsession.h"

#include "protocol/transferrequest.h"

#include <QThread>

SendSession::SendSession(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<SendPacker>();
    qRegisterMetaType<SendResult>();
    qRegisterMetaType<SendWorker::Receiver>();
    qRegisterMetaType<QList<SendWorker::ResumedFile>>("QList<SendWorker::ResumedFile>");
}

SendSession::~SendSession()
{
    cancel();
    // The transfers' threads are children: each ends once its worker is gone.
    for (QThread *thread : findChildren<QThread *>()) {
        thread->quit();
        thread->wait();
    }
}

int SendSession::start(const QStringList &dropped)
{
    if (running)
        return 0;
    ++current;
    running = true;
    paths = dropped;
    lastTo = Receiver();
    cancelled = std::make_shared<std::atomic<bool>>(false);
    auto *thread = new QThread(this);
    worker =
        new SendWorker(current, paths, receiverPort != 0 ? receiverPort : TransferRequest::port,
                       confirmSlackMs, cancelled);
    worker->moveToThread(thread);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::started, worker, &SendWorker::run);
    relay(worker);
    thread->start();
    return current;
}

// Queued: emitted in the transfer's thread, taken in this one.
void SendSession::relay(SendWorker *from)
{
    connect(from, &SendWorker::listed, this, &SendSession::listed);
    connect(from, &SendWorker::planned, this, &SendSession::planned);
    connect(from, &SendWorker::accepted, this, &SendSession::accepted);
    connect(from, &SendWorker::progress, this, &SendSession::progress);
    connect(from, &SendWorker::ended, this, [this, from](int id, const SendResult &result) {
        from->thread()->quit();
        if (id != current)
            return;
        running = false;
        emit ended(id, result);
    });
}

void SendSession::send(const SendSession::Receiver &receiver)
{
    if (!running || !worker)
        return;
    lastTo = receiver;
    QMetaObject::invokeMethod(worker, "setReceiver", Qt::QueuedConnection,
                              Q_ARG(SendWorker::Receiver, receiver));
}

void SendSession::cancel()
{
    if (!running || !worker)
        return;
    *cancelled = true;
    QMetaObject::invokeMethod(worker, &SendWorker::stop, Qt::QueuedConnection);
}

int SendSession::resend(const SendSession::Receiver &receiver)
{
    if (!canResend() || lastTo.ip.isEmpty())
        return 0;
    const int id = start(paths);
    send(receiver);
    return id;
}
