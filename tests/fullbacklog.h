#ifndef FULLBACKLOG_H
#define FULLBACKLOG_H

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

// Fills a listening socket's queue of connections waiting to be accepted, so that the system drops
// the next handshake and the connecting side tries again about a second later: a slow handshake on
// loopback, without touching the link. Dropped handshakes are counted by the system.
class FullBacklog
{
public:
    explicit FullBacklog(QTcpServer &server) : server(server), before(overflows())
    {
        server.pauseAccepting();
        ::listen(int(server.socketDescriptor()), 0);
        filler.connectToHost(QHostAddress::LocalHost, server.serverPort());
    }
    bool isFull() const { return filler.state() == QAbstractSocket::ConnectedState; }
    bool droppedOne() const { return overflows() > before; }
    void release() { server.resumeAccepting(); }

private:
    static qint64 overflows()
    {
        QFile file("/proc/net/netstat");
        const QList<QByteArray> lines =
            file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const int at = lines.at(i).split(' ').indexOf("ListenOverflows");
            if (at > 0)
                return lines.at(i + 1).split(' ').value(at).toLongLong();
        }
        return -1;
    }

    QTcpServer &server;
    QTcpSocket filler;
    const qint64 before;
};

#endif // FULLBACKLOG_H
