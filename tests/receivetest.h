#ifndef RECEIVETEST_H
#define RECEIVETEST_H

#include "send/socketwait.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

// What the receive tests share: a free loopback port for the receiver, how the receiver ended a
// connection, and what it left in a folder.

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Blocks this thread (the session works in its own) until the receiver ends the connection, and
// tells an orderly close from a reset, which Qt would read alike.
inline SocketWait::PeerEnd peerEnd(const QTcpSocket &socket)
{
    for (int i = 0; i < 300; ++i) {
        const SocketWait::PeerEnd end = SocketWait::peerEnd(socket.socketDescriptor(), 100);
        if (end != SocketWait::Pending)
            return end;
    }
    return SocketWait::Pending;
}

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

inline QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

#endif // RECEIVETEST_H
