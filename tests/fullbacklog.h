#ifndef FULLBACKLOG_H
#define FULLBACKLOG_H

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

// Fills a listening socket's queue of connections waiting to be accepted, so that the system
// drops the next handshake and the connecting side tries again about a second later: a slow
// handshake on loopback, without touching the link.
class FullBacklog
{
public:
    explicit FullBacklog(QTcpServer &server) : server(server)
    {
        server.pauseAccepting();
        ::listen(int(server.socketDescriptor()), 0);
        before = overflows();
        filler.connectToHost(QHostAddress::LocalHost, server.serverPort());
    }

    bool isFull() const { return filler.state() == QAbstractSocket::ConnectedState; }
    // The system dropped a handshake since the queue was filled.
    bool droppedOne() const { return overflows() > before; }
    void release() { server.resumeAccepting(); }

    static qint64 overflows()
    {
        QFile file("/proc/net/netstat");
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QList<QByteArray> names = lines.at(i).split(' ');
            const int at = names.indexOf("ListenOverflows");
            if (at > 0)
                return lines.at(i + 1).split(' ').value(at).toLongLong();
        }
        return -1;
    }

private:
    QTcpServer &server;
    QTcpSocket filler;
    qint64 before = 0;
};

#endif // FULLBACKLOG_H
