#include "send/connector.h"

#include <QDebug>
#include <QTcpSocket>

#include <fcntl.h>

Connector::Connector(QObject *parent) : QObject(parent)
{
    bound.setSingleShot(true);
    probe.setSingleShot(true);
    connect(&bound, &QTimer::timeout, this, [this] {
        qDebug() << "连接超时" << address;
        probeOver = extendedFailed = plainFailed = true;
        settle();
    });
    connect(&probe, &QTimer::timeout, this, [this] {
        probeOver = true;
        settle();
    });
}

void Connector::start(const QString &ip, quint16 toPlainPort, quint16 extendedPort,
                      Protocol protocol)
{
    address = ip;
    plainPort = toPlainPort;
    plainFailed = extendedFailed = probeOver = false;
    if (protocol != Protocol::Plain)
        extended = attempt(extendedPort);
    else
        extendedFailed = true;
    plain = attempt(plainPort);
    bound.start(boundMs);
}

QTcpSocket *Connector::attempt(quint16 port)
{
    auto *socket = new QTcpSocket(this);
    connect(socket, &QTcpSocket::connected, this, &Connector::settle);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket] {
        qDebug() << "连接失败" << socket->peerPort() << socket->errorString();
        (socket == extended ? extendedFailed : plainFailed) = true;
        socket->deleteLater();
        settle();
    });
    socket->connectToHost(address, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    return socket;
}

// Called whenever an attempt ends either way, when the extended one has had its time, and at the
// bound, when what is not up has failed.
void Connector::settle()
{
    const auto isUp = [](const QPointer<QTcpSocket> &socket) {
        return socket && socket->state() == QAbstractSocket::ConnectedState;
    };
    if (isUp(extended) && !extendedFailed)
        return take(extended, true);
    if (isUp(plain) && (extendedFailed || probeOver))
        return take(plain, false);
    if (isUp(plain) && !probe.isActive()) {
        probe.start(probeMs);
        return;
    }
    if (extendedFailed && plainFailed) {
        cancel();
        emit failed();
    }
}

void Connector::take(QTcpSocket *socket, bool isExtended)
{
    // A duplicate, as Qt closes its own with the socket; not handed down to programs we start.
    const qintptr descriptor = ::fcntl(int(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    cancel();
    if (descriptor < 0)
        emit failed();
    else
        emit connected(descriptor, isExtended);
}

void Connector::cancel()
{
    bound.stop();
    probe.stop();
    for (QTcpSocket *socket : findChildren<QTcpSocket *>()) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}
