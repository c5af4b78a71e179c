#ifndef TESTSENDEREND_H
#define TESTSENDEREND_H

#include "send/socketwait.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

// The sending end of the receive tests: a free loopback port for the receiver, and how the
// receiver ended a connection.

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

#endif // TESTSENDEREND_H
