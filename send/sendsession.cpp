#include "send/sendsession.h"

#include "protocol/transferrequest.h"
#include "records/recordstore.h"

#include <QThread>

#include <openssl/crypto.h>

SendSession::SendSession(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<SendPacker>();
    qRegisterMetaType<SendResult>();
    qRegisterMetaType<SendWorker::Receiver>();
    qRegisterMetaType<SendWorker::Question>();
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
    // Also after the threads that ended before.
    fromWorkers.settle();
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
    toWorker = new HandOver(worker);
    worker->moveToThread(thread);
    // The worker goes as its thread's last act, which whoever waits for the thread settles with.
    connect(
        thread, &QThread::finished, thread,
        [this, owned = worker.data()] {
            std::unique_ptr<SendWorker>(owned).reset();
            RecordStore::releaseThread();
            // The thread's own OpenSSL state (pairing nonces, error queue), before anyone who
            // waited for the thread goes on, perhaps to exit.
            OPENSSL_thread_stop();
            fromWorkers.settle();
        },
        Qt::DirectConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::started, worker, &SendWorker::run);
    relay(worker, thread);
    thread->start();
    return current;
}

// Emitted in the transfer's thread, handed over to this one.
void SendSession::relay(SendWorker *from, QThread *thread)
{
    const auto toThis = [this, from](auto signal, auto call) {
        QObject::connect(from, signal, this, fromWorkers.relay(call), Qt::DirectConnection);
    };
    toThis(&SendWorker::listed, [this](int id, const SendPacker &list) { emit listed(id, list); });
    toThis(&SendWorker::planned,
           [this](int id, int skippedFiles, qint64 skippedBytes,
                  const QList<SendWorker::ResumedFile> &resumed,
                  qint64 total) { emit planned(id, skippedFiles, skippedBytes, resumed, total); });
    toThis(&SendWorker::asking, [this](int id, SendWorker::Question question, const QString &code) {
        emit asking(id, question, code);
    });
    toThis(&SendWorker::accepted, [this](int id) { emit accepted(id); });
    toThis(&SendWorker::progress,
           [this](int id, qint64 sent, qint64 total) { emit progress(id, sent, total); });
    toThis(&SendWorker::ended, [this, thread](int id, const SendResult &result) {
        thread->quit();
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
    toWorker->post([to = worker.data(), receiver] { to->setReceiver(receiver); });
}

void SendSession::answer(bool yes)
{
    if (!running || !worker)
        return;
    toWorker->post([to = worker.data(), yes] { to->answer(yes); });
}

void SendSession::cancel()
{
    if (!running || !worker)
        return;
    *cancelled = true;
    toWorker->post([to = worker.data()] { to->stop(); });
}

int SendSession::resend(const SendSession::Receiver &receiver)
{
    if (!canResend() || lastTo.ip.isEmpty())
        return 0;
    const int id = start(paths);
    send(receiver);
    return id;
}
