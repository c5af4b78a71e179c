#ifndef TESTRECEIVER_H
#define TESTRECEIVER_H

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

// A receiver on loopback for the send tests: records the request and the body that arrive,
// answers the request (the bytes up to the empty line) with a given reply, optionally in two
// parts, and can drop the connection or stop reading once some body bytes have come.
class TestReceiver : public QObject
{
public:
    explicit TestReceiver(const QByteArray &reply, quint16 port = 0,
                          const QByteArray &replyTail = QByteArray())
        : reply(reply), replyTail(replyTail)
    {
        listening = server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
            connect(peer, &QTcpSocket::disconnected, this, [this] { closed = true; });
        });
    }

    bool isListening() const { return listening; }
    quint16 port() const { return server.serverPort(); }
    QTcpServer &listener() { return server; }
    QByteArray request() const { return headerEnd < 0 ? received : received.left(headerEnd); }
    QByteArray body() const { return headerEnd < 0 ? QByteArray() : received.mid(headerEnd); }
    void drop()
    {
        if (peer)
            peer->abort();
    }

    qint64 dropAfterBodyBytes = -1;  // abort the connection once this much body has come
    qint64 closeAfterBodyBytes = -1; // close in order once this much body has come
    qint64 resetAfterBodyBytes = -1; // reset the connection once this much body has come
    qint64 stallAfterBodyBytes = -1; // stop reading once this much body has come
    bool closeAfterReply = false;
    bool closed = false;

private:
    void onReadyRead()
    {
        if (stalled)
            return;
        received += peer->readAll();
        if (headerEnd < 0 && received.contains("\r\n\r\n")) {
            headerEnd = received.indexOf("\r\n\r\n") + 4;
            peer->write(reply);
            if (!replyTail.isEmpty())
                QTimer::singleShot(50, peer, [this] { peer->write(replyTail); });
            if (closeAfterReply)
                peer->disconnectFromHost();
        }
        if (closeAfterBodyBytes >= 0 && body().size() >= closeAfterBodyBytes) {
            peer->disconnectFromHost();
        } else if (resetAfterBodyBytes >= 0 && body().size() >= resetAfterBodyBytes) {
            const struct linger hard = {1, 0};
            ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            peer->abort();
        } else if (dropAfterBodyBytes >= 0 && body().size() >= dropAfterBodyBytes) {
            peer->abort();
        } else if (stallAfterBodyBytes >= 0 && body().size() >= stallAfterBodyBytes) {
            // Qt stops taking bytes from the system once its buffer is full: the sender stalls.
            stalled = true;
            peer->setReadBufferSize(1);
        }
    }

    QTcpServer server;
    bool listening = false;
    QPointer<QTcpSocket> peer;
    QByteArray reply;
    QByteArray replyTail;
    QByteArray received;
    int headerEnd = -1;
    bool stalled = false;
};

#endif // TESTRECEIVER_H
