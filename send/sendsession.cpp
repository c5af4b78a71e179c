#include "send/sendsession.h"

SendSession::SendSession(QObject *parent) : QObject(parent) {}

SendSession::~SendSession()
{
    if (thread)
        thread->cancel();
    // Retired threads are children and end (and are waited for) with the session.
}

int SendSession::start(const QStringList &dropped)
{
    if (running)
        return 0;
    retire();
    ++current;
    running = true;
    paths = dropped;
    receiver.clear();
    thread = std::make_unique<TCPSendThread>(current, paths);
    if (receiverPort != 0)
        thread->setPort(receiverPort);
    if (confirmSlackMs >= 0)
        thread->setConfirmSlack(confirmSlackMs);
    // Queued: emitted in the transfer's thread, taken in this one.
    connect(thread.get(), &TCPSendThread::listed, this, [this](int id, const SendPacker &list) {
        if (id == current)
            emit listed(id, list);
    });
    connect(thread.get(), &TCPSendThread::planned, this,
            [this](int id, int files, qint64 bytes,
                   const QList<TCPSendThread::ResumedFile> &resumed, qint64 total) {
                if (id == current)
                    emit planned(id, files, bytes, resumed, total);
            });
    connect(thread.get(), &TCPSendThread::accepted, this, [this](int id) {
        if (id == current)
            emit accepted(id);
    });
    connect(thread.get(), &TCPSendThread::updateProgress, this,
            [this](int id, qint64 sent, qint64 total) {
                if (id == current)
                    emit progress(id, sent, total);
            });
    connect(thread.get(), &TCPSendThread::sendEnded, this,
            [this](int id, int outcome, int error, const QString &item) {
                if (id != current)
                    return;
                running = false;
                emit ended(id, outcome, error, item);
            });
    thread->start();
    return current;
}

void SendSession::send(const QString &ip, const QString &senderName, Protocol protocol,
                       quint16 extendedPort)
{
    if (!running || !thread)
        return;
    receiver = ip;
    thread->setReceiver(ip, senderName, protocol, extendedPort);
}

void SendSession::cancel()
{
    if (running && thread)
        thread->cancel();
}

int SendSession::resend(const QString &senderName, Protocol protocol, quint16 extendedPort)
{
    if (!canResend() || receiver.isEmpty())
        return 0;
    const QString ip = receiver;
    const int id = start(paths);
    send(ip, senderName, protocol, extendedPort);
    return id;
}

// A thread whose end has been reported may still be returning from run(); it is deleted once it
// has finished, never waited for here.
void SendSession::retire()
{
    if (!thread)
        return;
    TCPSendThread *old = thread.release();
    old->setParent(this);
    connect(old, &QThread::finished, old, &QObject::deleteLater);
    if (old->isFinished())
        old->deleteLater();
}
