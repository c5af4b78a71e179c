#ifndef RECEIVESERVER_H
#define RECEIVESERVER_H

#include "receive/receiveoffer.h"
#include "receive/streamunpacker.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QTcpServer;
class QTcpSocket;

// The receiving end of transfers, one at a time, in the thread it is moved to: listens, stores
// the request in the work file "header", asks through offered() after the quiet period, replies,
// appends the body to "stream" and unpacks it as it arrives. When the whole body is stored it
// closes its end, and when something cannot be stored it resets the connection, so that a sender
// can tell the two apart. ReceiveSession is its face towards the window.
class ReceiveServer : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Complete, Incomplete, Refused, Failed, SenderLeft, Unanswered };

    static constexpr int quietPeriodMs = 1000;
    // A request is a few hundred bytes; a peer that keeps talking without pause is not sending one.
    static constexpr qint64 maxHeaderBytes = 64 * 1024;
    // An honest sender sends nothing before the answer; a little is kept for one that does.
    static constexpr qint64 maxEarlyBytes = 64 * 1024;
    static constexpr int reportIntervalMs = 250;

    explicit ReceiveServer(QObject *parent = nullptr);
    ~ReceiveServer() override;

    Q_INVOKABLE bool listen(const QString &address, quint16 port);
    Q_INVOKABLE QString listenError() const { return listenErrorText; }
    Q_INVOKABLE void close();
    Q_INVOKABLE void accept();
    Q_INVOKABLE void refuse();
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void setTimeouts(int idleMs, int answerMs, int quietMs = quietPeriodMs);

signals:
    void offered(const ReceiveOffer &offer);
    void progress(qint64 received, qint64 total);
    void itemsStored(const QList<StreamUnpacker::Entry> &entries);
    void ended(int outcome, const QString &reason);

private:
    enum class Stage { Idle, Header, Asking, Receiving };

    void newConnection();
    void readIncoming();
    void takeBody(const QByteArray &chunk);
    void question();
    void dropIdle();
    void answerTimedOut();
    void senderClosed();
    void report();
    void finish(Outcome outcome, const QString &reason);
    void resetConnection();
    void refuseWith(const QString &reason);
    bool openWorkFile(const QString &name);
    QString checkSaveDir(const QString &saveDir, qint64 size) const;

    QTcpServer *server;
    QPointer<QTcpSocket> socket;
    QTimer quietTimer;
    QTimer idleTimer;
    QTimer answerTimer;
    QTimer reportTimer;
    QFile recvFile;
    Stage stage = Stage::Idle;
    QByteArray header;
    QByteArray early;
    std::unique_ptr<StreamUnpacker> unpacker;
    ReceiveOffer offer;
    int idleTimeoutMs = 60000;
    int answerTimeoutMs = 27000;
    int quietMs = quietPeriodMs;
    QString listenErrorText;
};

#endif // RECEIVESERVER_H
