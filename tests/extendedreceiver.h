#ifndef EXTENDEDRECEIVER_H
#define EXTENDEDRECEIVER_H

#include "protocol/transferrequest.h"

#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

#include <sys/socket.h>

// An extended receiver on loopback, speaking the receiver's side of the extended protocol from
// the bytes up: reads the request and manifest, says "W", asks for hashes in a "C" round when
// `compare` names files, says "A", answers "Y" with `plan` or "N <reason>", records the body's
// parts and hash lines, and ends with "K" and a close (or "X <reason>" and a reset).
class ExtendedReceiver : public QObject
{
public:
    struct Item
    {
        bool isFile = false;
        qint64 size = 0;
        QByteArray version;
        QByteArray hash;
        QString name;
    };

    explicit ExtendedReceiver(quint16 port = 0)
    {
        server.listen(QHostAddress::LocalHost, port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *next = server.nextPendingConnection()) {
                peer = next;
                connect(peer, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
                connect(peer, &QTcpSocket::disconnected, this, [this] { closed = true; });
            }
        });
    }

    quint16 port() const { return server.serverPort(); }
    QTcpServer &listener() { return server; }

    // What to say.
    QList<int> compare;
    QByteArray plan;
    bool refuse = false;
    QString reason;                 // of "N", or of "X" when stopAfterBodyBytes is set
    qint64 stopAfterBodyBytes = -1; // "X <reason>" and a reset once this much body came
    bool confirm = true;            // "K" at the end, else a close without it
    std::function<void()> beforeAnswer;

    // What came.
    QByteArray request; // up to the empty line
    QString senderId;
    QList<Item> manifest;
    QStringList hashAnswers; // "<index> <hash>" of the "C" round
    QStringList parts;       // "<index> <offset>"
    QList<QByteArray> partData;
    QList<QByteArray> hashLines; // after each part
    bool ended = false;          // "E" came
    bool closed = false;

private:
    enum Stage { Request, Answers, Body, Data, Hash, Done };

    void onReadyRead()
    {
        received += peer->readAll();
        while (step()) {
        }
    }

    QByteArray takeLine()
    {
        const int end = received.indexOf('\n');
        if (end < 0)
            return QByteArray();
        const QByteArray line = received.left(end + 1);
        received.remove(0, end + 1);
        return line.chopped(1);
    }

    bool step()
    {
        switch (stage) {
        case Request:
            return takeRequest();
        case Answers: {
            if (!received.contains('\n'))
                return false;
            const QByteArray line = takeLine();
            if (line != "W")
                hashAnswers << QString::fromUtf8(line);
            if (hashAnswers.size() == compare.size())
                answer();
            return true;
        }
        case Body:
            return takePartLine();
        case Data:
            return takeData();
        case Hash:
            if (!received.contains('\n'))
                return false;
            hashLines << takeLine();
            stage = Body;
            return true;
        case Done:
            return false;
        }
        return false;
    }

    bool takeRequest()
    {
        const int end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const auto fields = TransferRequest::parseHeader(QString::fromUtf8(received.left(end)));
        const qint64 length = fields.value("Manifest-Length").toLongLong();
        if (received.size() < end + 4 + length)
            return false;
        request = received.left(end + 4);
        senderId = fields.value("Nubo-Sender-Id");
        const QList<QByteArray> lines = received.mid(end + 4, int(length)).split('\n');
        received.remove(0, end + 4 + int(length));
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QList<QByteArray> f = lines.at(i).split(' ');
            Item item;
            item.isFile = f.at(0) == "F";
            item.size = item.isFile ? f.at(1).toLongLong() : 0;
            item.version = item.isFile ? f.at(2) : QByteArray();
            item.hash = item.isFile ? f.at(3) : QByteArray();
            item.name = QString::fromUtf8(lines.at(i).mid(
                item.isFile ? 4 + f.at(1).size() + f.at(2).size() + f.at(3).size() : 2));
            manifest << item;
        }
        peer->write(QByteArray("W 0 ") + QByteArray::number(manifest.size()) + '\n');
        if (compare.isEmpty())
            return answer();
        QByteArray round = "C " + QByteArray::number(compare.size()) + '\n';
        for (const int index : qAsConst(compare))
            round += QByteArray::number(index) + '\n';
        peer->write(round);
        stage = Answers;
        return true;
    }

    bool answer()
    {
        if (beforeAnswer)
            beforeAnswer();
        peer->write("A\n");
        if (refuse) {
            peer->write("N " + reason.toUtf8() + '\n');
            peer->disconnectFromHost();
            stage = Done;
            return false;
        }
        peer->write("Y " + QByteArray::number(plan.size()) + '\n' + plan);
        stage = Body;
        return true;
    }

    bool takePartLine()
    {
        if (!received.contains('\n'))
            return false;
        const QByteArray line = takeLine();
        if (line == "E") {
            ended = true;
            stage = Done;
            if (confirm)
                peer->write("K\n");
            peer->disconnectFromHost();
            return false;
        }
        const QList<QByteArray> f = line.split(' ');
        parts << QString::fromUtf8(f.at(1) + ' ' + f.at(2));
        partData << QByteArray();
        left = manifest.at(f.at(1).toInt()).size - f.at(2).toLongLong();
        stage = Data;
        return true;
    }

    bool takeData()
    {
        const int n = int(qMin<qint64>(left, received.size()));
        partData.last() += received.left(n);
        received.remove(0, n);
        left -= n;
        bodyBytes += n;
        if (stopAfterBodyBytes >= 0 && bodyBytes >= stopAfterBodyBytes) {
            peer->write("X " + reason.toUtf8() + '\n');
            peer->flush();
            const struct linger hard = {1, 0};
            ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            peer->abort();
            stage = Done;
            return false;
        }
        if (left > 0)
            return false;
        stage = Hash;
        return true;
    }

    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QByteArray received;
    Stage stage = Request;
    qint64 left = 0;
    qint64 bodyBytes = 0;
};

#endif // EXTENDEDRECEIVER_H
