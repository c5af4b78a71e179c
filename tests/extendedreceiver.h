#ifndef EXTENDEDRECEIVER_H
#define EXTENDEDRECEIVER_H

#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"

#include "tlspeer.h"

#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

#include <sys/socket.h>

// An extended receiver on loopback made of the protocol classes, inside TLS as "receiver": says it
// plans, asks for the hashes of `compare` if any, says it asks its user, answers with `plan` (or
// refuses with `reason`), records the body's parts and hashes, and ends with "K" and a close, or
// with "X <reason>" and a reset once `stopAfterBodyBytes` came.
class ExtendedReceiver : public QObject, private ExtendedBodyReader::Handler
{
public:
    explicit ExtendedReceiver(quint16 port = 0)
    {
        server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *next = server.nextPendingConnection()) {
                peer = tls ? new QTcpSocket(this) : next;
                if (tls)
                    TlsPeer::wrap(peer, next, TlsChannel::Role::Server, QStringLiteral("receiver"));
                connect(peer, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
            }
        });
    }

    quint16 port() const { return server.serverPort(); }
    QTcpServer &listener() { return server; }

    QVector<int> compare;
    QByteArray plan;
    bool refuse = false;
    QString reason;
    qint64 stopAfterBodyBytes = -1;
    bool confirm = true; // "K" before the close
    bool tls = true;     // else the protocol in the clear, which a sender must not speak
    std::function<void()> beforeAnswer;

    QByteArray request; // up to the empty line
    QString senderId;
    Manifest manifest;
    QStringList hashAnswers; // "<index> <hash>"
    QStringList parts;       // "<index> <offset>"
    QList<QByteArray> partData;
    QList<ContentHash::Value> hashes; // of the hash lines

private:
    void onReadyRead()
    {
        received += peer->readAll();
        if (!takeRequest() || !takeHashAnswers() || !reader)
            return;
        if (!reader->feed(received.constData(), received.size()))
            peer->abort();
        else if (stopAfterBodyBytes >= 0 && reader->dataBytes() >= stopAfterBodyBytes)
            stop();
        else if (reader->atEnd())
            end();
        received.clear();
    }

    bool takeRequest()
    {
        const int end = received.indexOf("\r\n\r\n");
        qint64 length = 0;
        if (!request.isEmpty() || end < 0 ||
            !ExtendedProtocol::parseRequestFields(
                TransferRequest::parseHeader(QString::fromUtf8(received.left(end))), &senderId,
                &length, Manifest::maxBytes) ||
            received.size() < end + 4 + length)
            return !request.isEmpty();
        request = received.left(end + 4);
        Manifest::parse(received.mid(end + 4, int(length)), &manifest);
        received.remove(0, end + 4 + int(length));
        peer->write(ExtendedProtocol::planning(0, manifest.items.size()));
        if (compare.isEmpty())
            answer();
        else
            peer->write(ExtendedProtocol::needHashes(compare));
        return true;
    }

    bool takeHashAnswers()
    {
        int index = 0;
        ContentHash::Value hash;
        while (!reader && hashAnswers.size() < compare.size()) {
            const int used = ExtendedProtocol::takeHashAnswer(received, &index, &hash);
            if (used <= 0)
                return false;
            received.remove(0, used);
            if (index >= 0)
                hashAnswers << QString::number(index) + ' ' + hash.toHex();
            if (hashAnswers.size() == compare.size())
                answer();
        }
        return true;
    }

    void answer()
    {
        if (beforeAnswer)
            beforeAnswer();
        peer->write(ExtendedProtocol::asking());
        if (refuse) {
            peer->write(ExtendedProtocol::refuse(reason));
            peer->disconnectFromHost();
            return;
        }
        TransferPlan::parse(plan, manifest, &steps);
        peer->write(ExtendedProtocol::accept(plan));
        reader = std::make_unique<ExtendedBodyReader>(
            manifest, steps, static_cast<ExtendedBodyReader::Handler *>(this));
    }

    void stop()
    {
        peer->write(ExtendedProtocol::failed(reason));
        peer->flush();
        const struct linger hard = {1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer->abort();
    }

    void end()
    {
        if (confirm)
            peer->write(ExtendedProtocol::done());
        peer->disconnectFromHost();
    }

    bool folder(int) override { return true; }
    bool skipped(int) override { return true; }
    bool fileBegin(int index, qint64 offset) override
    {
        parts << QStringLiteral("%1 %2").arg(index).arg(offset);
        partData << QByteArray();
        return true;
    }
    bool fileData(const char *data, qint64 length) override
    {
        partData.last().append(data, int(length));
        return true;
    }
    bool fileEnd(int, const ContentHash::Value &sent) override
    {
        hashes << sent;
        return true;
    }

    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QByteArray received;
    TransferPlan steps;
    std::unique_ptr<ExtendedBodyReader> reader;
};

#endif // EXTENDEDRECEIVER_H
