#ifndef SENDSESSION_H
#define SENDSESSION_H

#include "send/sendpacker.h"
#include "send/tcpsendthread.h"

#include <QObject>
#include <QStringList>

#include <memory>

// The sending side of transfers without any widget. Each transfer runs in a thread of its own
// (listing, connection, stages and timers); its signals arrive in the thread that made the
// session and carry the transfer's id, so that a late one of a finished transfer is told apart
// from the next transfer's. No call waits for a worker.
class SendSession : public QObject
{
    Q_OBJECT

public:
    using Outcome = TCPSendThread::Outcome;
    using Protocol = TCPSendThread::Protocol;

    explicit SendSession(QObject *parent = nullptr);
    ~SendSession() override; // cancels what runs and waits for the current wait slice to end

    // From start() until the end of that transfer has been reported.
    bool transferRunning() const { return running; }
    // Where the last transfer went and what it sent, for resend().
    QString lastReceiver() const { return receiver; }
    QStringList lastPaths() const { return paths; }
    bool canResend() const { return !paths.isEmpty() && !running; }

    // The receiver's port, and the slack for its confirmation; only tests change them.
    void setPort(quint16 port) { receiverPort = port; }
    void setConfirmSlack(int ms) { confirmSlackMs = ms; }

public slots:
    // Begins a transfer: lists `paths` at once, in the transfer's thread. Returns its id, or 0
    // while another transfer runs.
    int start(const QStringList &paths);
    // Sends the current transfer to `ip` as soon as it is listed, by `protocol` (see
    // TCPSendThread::Protocol) with the extended port `extendedPort`.
    void send(const QString &ip, const QString &senderName, Protocol protocol = Protocol::Plain,
              quint16 extendedPort = ExtendedProtocol::tcpPort);
    // Stops the current transfer; its end is reported as usual.
    void cancel();
    // Lists the last transfer's paths again and sends them to the same receiver.
    int resend(const QString &senderName, Protocol protocol = Protocol::Plain,
               quint16 extendedPort = ExtendedProtocol::tcpPort);

signals:
    void listed(int transfer, const SendPacker &list);
    void planned(int transfer, int skippedFiles, qint64 skippedBytes,
                 const QList<TCPSendThread::ResumedFile> &resumed, qint64 total);
    void accepted(int transfer);
    void progress(int transfer, qint64 sent, qint64 total);
    // `outcome` is an Outcome; `error` and `item` as TCPSendThread::sendEnded says.
    void ended(int transfer, int outcome, int error, const QString &item);

private:
    void retire();

    std::unique_ptr<TCPSendThread> thread;
    int current = 0;
    bool running = false;
    QStringList paths;
    QString receiver;
    quint16 receiverPort = 0;
    int confirmSlackMs = -1;
};

#endif // SENDSESSION_H
