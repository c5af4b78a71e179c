#include "receive/receivesession.h"

#include <QDebug>
#include <QThread>

namespace {

// The worker returns to its loop within one piece of storing; this only bounds a worker stuck in
// the file system (a hung network share), which must not keep the program from ending.
constexpr int stopGraceMs = 3000;

} // namespace

ReceiveSession::ReceiveSession(QObject *parent)
    : QObject(parent), thread(new QThread(this)), server(new ReceiveServer)
{
    qRegisterMetaType<ReceiveOffer>();
    qRegisterMetaType<StoredEntry>();
    qRegisterMetaType<QList<StoredEntry>>();
    qRegisterMetaType<QList<PartialRegistry::Entry>>();

    server->moveToThread(thread);
    connect(thread, &QThread::finished, server, &QObject::deleteLater);
    connect(server, &ReceiveServer::listened, this,
            [this](quint64 first, bool ok, const QString &error, quint16 extendedPort) {
                if (isCurrent(first))
                    emit listening(ok, error, extendedPort);
            });
    connect(server, &ReceiveServer::partialsKept, this,
            [this](quint64 first, const QList<PartialRegistry::Entry> &entries) {
                if (isCurrent(first))
                    emit partialsKept(entries);
            });
    connect(server, &ReceiveServer::offered, this,
            [this](quint64 transfer, const ReceiveOffer &offer) {
                if (!isCurrent(transfer))
                    return;
                running = true;
                emit offered(transfer, offer);
            });
    connect(server, &ReceiveServer::progress, this,
            [this](quint64 transfer, qint64 received, qint64 total) {
                if (isCurrent(transfer))
                    emit progress(transfer, received, total);
            });
    connect(server, &ReceiveServer::itemsStored, this,
            [this](quint64 transfer, const QList<StoredEntry> &entries) {
                if (isCurrent(transfer))
                    emit itemsStored(transfer, entries);
            });
    connect(server, &ReceiveServer::ended, this,
            [this](quint64 transfer, int outcome, const QString &reason) {
                if (!isCurrent(transfer))
                    return;
                running = false;
                emit ended(transfer, outcome, reason);
            });
    connect(server, &ReceiveServer::busyRefused, this,
            [this](quint64 transfer, const QString &sender, const QString &address) {
                if (isCurrent(transfer))
                    emit busyRefused(sender, address);
            });
    thread->setObjectName(QStringLiteral("receive"));
    thread->start();
}

ReceiveSession::~ReceiveSession()
{
    close();
    thread->quit();
    if (!thread->wait(stopGraceMs)) {
        qWarning() << "接收线程未能及时结束，随程序退出";
        thread->setParent(nullptr);
    }
}

void ReceiveSession::listen(const QHostAddress &address, quint16 port, quint16 extendedPort)
{
    ++listenNumber;
    running = false;
    server->requestStop();
    const QString text = address.toString();
    const quint64 first = listenNumber << 32;
    server->post([text, port, first, extendedPort](ReceiveServer *worker) {
        worker->listen(text, port, first, extendedPort);
    });
}

void ReceiveSession::close()
{
    ++listenNumber;
    running = false;
    server->requestStop();
    server->post([](ReceiveServer *worker) { worker->close(); });
}

void ReceiveSession::setTimeouts(int idleMs, int answerMs, int quietMs)
{
    server->post([=](ReceiveServer *worker) { worker->setTimeouts(idleMs, answerMs, quietMs); });
}

void ReceiveSession::accept(quint64 transfer)
{
    server->post([transfer](ReceiveServer *worker) { worker->accept(transfer); });
}

void ReceiveSession::refuse(quint64 transfer)
{
    server->post([transfer](ReceiveServer *worker) { worker->refuse(transfer); });
}

void ReceiveSession::cancel(quint64 transfer)
{
    server->post([transfer](ReceiveServer *worker) { worker->cancel(transfer); });
}
