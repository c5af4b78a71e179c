#ifndef EXTENDEDRECEIVER_H
#define EXTENDEDRECEIVER_H

#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/transferreply.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

// A receiver of the extended protocol on loopback for the send tests, made of the protocol
// classes: reads the request and its manifest, answers with the plan `planner` makes (the refusal
// when it returns false), records every part of the body and closes once the end line came.
class ExtendedReceiver : public QObject, private ExtendedBodyReader::Handler
{
public:
    using Planner = std::function<bool(const Manifest &, TransferPlan *)>;

    explicit ExtendedReceiver(Planner planner, quint16 port = 0) : planner(std::move(planner))
    {
        listening = server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        });
    }

    bool isListening() const { return listening; }
    quint16 port() const { return server.serverPort(); }

    QByteArray request; // up to the empty line
    QString senderId;
    Manifest manifest;
    QStringList parts; // "<index> <offset>" per part
    QList<QByteArray> partData;
    bool ended = false; // the end line came and the connection was closed

private:
    void onReadyRead()
    {
        received += peer->readAll();
        if (!reader && !readRequest())
            return;
        if (!reader->feed(received.constData(), received.size())) {
            peer->abort();
        } else if (reader->atEnd()) {
            ended = true;
            peer->disconnectFromHost();
        }
        received.clear();
    }

    bool readRequest()
    {
        const int end = received.indexOf("\r\n\r\n");
        qint64 length = 0;
        if (end < 0 ||
            !ExtendedProtocol::parseRequestFields(
                TransferRequest::parseHeader(QString::fromUtf8(received.left(end))), &senderId,
                &length) ||
            received.size() < end + 4 + length)
            return false;
        request = received.left(end + 4);
        Manifest::parse(received.mid(end + 4, int(length)), &manifest);
        received.remove(0, end + 4 + int(length));
        plan = TransferPlan(manifest.items.size());
        if (!planner(manifest, &plan)) {
            peer->write(TransferReply::refusal());
            return false;
        }
        peer->write(ExtendedProtocol::accept(plan.toBytes()));
        reader = std::make_unique<ExtendedBodyReader>(
            manifest, plan, static_cast<ExtendedBodyReader::Handler *>(this));
        return true;
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
    bool fileEnd(int) override { return true; }

    Planner planner;
    QTcpServer server;
    bool listening = false;
    QPointer<QTcpSocket> peer;
    QByteArray received;
    TransferPlan plan;
    std::unique_ptr<ExtendedBodyReader> reader;
};

#endif // EXTENDEDRECEIVER_H
