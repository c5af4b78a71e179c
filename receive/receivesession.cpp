#include "receive/receivesession.h"

ReceiveSession::ReceiveSession(QObject *parent) : QObject(parent), server(new ReceiveServer)
{
    qRegisterMetaType<ReceiveOffer>();
    qRegisterMetaType<StreamUnpacker::Entry>();
    qRegisterMetaType<QList<StreamUnpacker::Entry>>();

    server->moveToThread(&thread);
    connect(&thread, &QThread::finished, server, &QObject::deleteLater);
    connect(server, &ReceiveServer::offered, this, [this](const ReceiveOffer &offer) {
        running = true;
        emit offered(offer);
    });
    connect(server, &ReceiveServer::progress, this, &ReceiveSession::progress);
    connect(server, &ReceiveServer::itemsStored, this, &ReceiveSession::itemsStored);
    connect(server, &ReceiveServer::ended, this, [this](int outcome, const QString &reason) {
        running = false;
        emit ended(outcome, reason);
    });
    thread.setObjectName(QStringLiteral("receive"));
    thread.start();
}

ReceiveSession::~ReceiveSession()
{
    close();
    thread.quit();
    thread.wait();
}

bool ReceiveSession::listen(const QHostAddress &address, quint16 port, QString *error)
{
    bool listening = false;
    // Handed over as text: an address type needs no registration that way, in any Qt.
    QMetaObject::invokeMethod(server, "listen", Qt::BlockingQueuedConnection,
                              Q_RETURN_ARG(bool, listening), Q_ARG(QString, address.toString()),
                              Q_ARG(quint16, port));
    if (!listening && error)
        QMetaObject::invokeMethod(server, "listenError", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(QString, *error));
    return listening;
}

void ReceiveSession::close()
{
    QMetaObject::invokeMethod(server, "close", Qt::BlockingQueuedConnection);
    running = false;
}

void ReceiveSession::setTimeouts(int idleMs, int answerMs)
{
    QMetaObject::invokeMethod(server, "setTimeouts", Qt::BlockingQueuedConnection,
                              Q_ARG(int, idleMs), Q_ARG(int, answerMs));
}

void ReceiveSession::accept()
{
    QMetaObject::invokeMethod(server, "accept", Qt::QueuedConnection);
}

void ReceiveSession::refuse()
{
    QMetaObject::invokeMethod(server, "refuse", Qt::QueuedConnection);
}

void ReceiveSession::cancel()
{
    QMetaObject::invokeMethod(server, "cancel", Qt::QueuedConnection);
}
