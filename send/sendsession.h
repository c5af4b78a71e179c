#ifndef SENDSESSION_H
#define SENDSESSION_H

#include "protocol/handover.h"
#include "send/sendworker.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <atomic>
#include <memory>

class QThread;

// The sending side of transfers without any widget. Each transfer's worker runs in a thread of
// its own (listing, connection, stages and timers); its signals arrive in the thread that made
// the session and carry the transfer's id, so that a late one of a finished transfer is told
// apart from the next transfer's. No call waits for a worker.
class SendSession : public QObject
{
    Q_OBJECT

public:
    using Protocol = Connector::Protocol;
    using Receiver = SendWorker::Receiver;
    using Question = SendWorker::Question;

    explicit SendSession(QObject *parent = nullptr);
    ~SendSession() override; // cancels what runs and waits for the transfers' threads to end

    // From start() until the end of that transfer has been reported.
    bool transferRunning() const { return running; }
    // Where the last transfer went and what it sent, for resend().
    QString lastReceiver() const { return lastTo.ip; }
    QStringList lastPaths() const { return paths; }
    bool canResend() const { return !paths.isEmpty() && !running; }

    // The receiver's plain port, and the slack for its confirmation; only tests change them.
    void setPort(quint16 port) { receiverPort = port; }
    void setConfirmSlack(int ms) { confirmSlackMs = ms; }

public slots:
    // Begins a transfer: lists `paths` at once, in the transfer's thread. Returns its id, or 0
    // while another transfer runs.
    int start(const QStringList &paths);
    // Sends the current transfer to `receiver` as soon as it is listed.
    void send(const SendSession::Receiver &receiver);
    // The user's answer to the current transfer's question (asking()).
    void answer(bool yes);
    // Stops the current transfer; its end is reported as usual.
    void cancel();
    // Lists the last transfer's paths again and sends them to `receiver`, the last one's address.
    int resend(const SendSession::Receiver &receiver);

signals:
    void listed(int transfer, const SendPacker &list);
    void planned(int transfer, int skippedFiles, qint64 skippedBytes,
                 const QList<SendWorker::ResumedFile> &resumed, qint64 total);
    // The user must answer before the transfer goes on: whether the receiver shows `code`
    // (Pairing), or whether to send in the clear (Unencrypted).
    void asking(int transfer, SendSession::Question question, const QString &code);
    void accepted(int transfer);
    void progress(int transfer, qint64 sent, qint64 total);
    void ended(int transfer, const SendResult &result);

private:
    void relay(SendWorker *worker, QThread *thread);

    HandOver fromWorkers; // in this object's thread
    QPointer<SendWorker> worker;
    HandOver *toWorker = nullptr; // the worker's child, in its thread
    std::shared_ptr<std::atomic<bool>> cancelled;
    int current = 0;
    bool running = false;
    QStringList paths;
    Receiver lastTo;
    quint16 receiverPort = 0;
    int confirmSlackMs = 5000;
};

#endif // SENDSESSION_H
