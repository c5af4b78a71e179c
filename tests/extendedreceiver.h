#ifndef EXTENDEDRECEIVER_H
#define EXTENDEDRECEIVER_H

#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/transferreply.h"

#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

// An extended receiver on loopback made of the protocol classes: answers the request with the plan
// `planner` fills in (the refusal when it returns false), records the body's parts, and closes
// once the end line came.
class ExtendedReceiver : public QObject, private ExtendedBodyReader::Handler
{
public:
    using Planner = std::function<bool(const Manifest &, TransferPlan *)>;

    explicit ExtendedReceiver(Planner planner, quint16 port = 0) : planner(std::move(planner))
    {
        server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        });
    }

    quint16 port() const { return server.serverPort(); }

    QByteArray request; // up to the empty line
    QString senderId;
    Manifest manifest;
    QStringList parts; // "<index> <offset>"
    QList<QByteArray> partData;
    bool ended = false;

private:
    void onReadyRead()
    {
        received += peer->readAll();
        const int end = received.indexOf("\r\n\r\n");
        qint64 length = 0;
        if (!reader) {
            if (end < 0 ||
                !ExtendedProtocol::parseRequestFields(
                    TransferRequest::parseHeader(QString::fromUtf8(received.left(end))), &senderId,
                    &length, Manifest::maxBytes) ||
                received.size() < end + 4 + length)
                return;
            request = received.left(end + 4);
            Manifest::parse(received.mid(end + 4, int(length)), &manifest);
            received.remove(0, end + 4 + int(length));
            plan = TransferPlan(manifest.items.size());
            if (!planner(manifest, &plan)) {
                peer->write(ExtendedProtocol::refuse(QString()));
                return;
            }
            peer->write(ExtendedProtocol::accept(plan.toBytes()));
            reader = std::make_unique<ExtendedBodyReader>(
                manifest, plan, static_cast<ExtendedBodyReader::Handler *>(this));
        }
        if (!reader->feed(received.constData(), received.size()))
            peer->abort();
        else if ((ended = reader->atEnd())) {
            peer->write(ExtendedProtocol::done());
            peer->disconnectFromHost();
        }
        received.clear();
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
    bool fileEnd(int, const ContentHash::Value &) override { return true; }

    Planner planner;
    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QByteArray received;
    TransferPlan plan;
    std::unique_ptr<ExtendedBodyReader> reader;
};

#endif // EXTENDEDRECEIVER_H
