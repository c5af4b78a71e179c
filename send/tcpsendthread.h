#ifndef TCPSENDTHREAD_H
#define TCPSENDTHREAD_H

#include "send/sendpacker.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QTcpSocket;

// Carries out one transfer, stage by stage: lists the dropped paths, waits until the user has
// picked a receiver, connects, writes the request, waits for the answer, sends the item stream
// straight from the source files and waits for the receiver to end the connection: a receiver
// that stored everything closes it, one that could not resets it. Every signal carries the
// transfer's id, as one of a finished transfer may still be on its way when the next begins.
class TCPSendThread : public QThread
{
    Q_OBJECT

public:
    enum Outcome {
        Delivered,     // the receiver closed the connection after the whole body
        Unconfirmed,   // the whole body went out, but the receiver never said how it ended
        Refused,       // the receiver said no
        Unanswered,    // no answer in time, or the receiver went away without one
        ConnectFailed, // no connection to the receiver
        SendBroken,    // the connection broke during the body
        NotStored,     // the receiver reset the connection after the body: not all was stored
        Cancelled,     // cancel() or the thread's end was asked for
        ListFailed,    // the drop cannot be sent (see the error and the item)
        SourceFailed   // a source file changed or became unreadable while it was sent
    };
    Q_ENUM(Outcome)

    static constexpr int waitMs = 30000;
    static constexpr int reportIntervalMs = 250;

    TCPSendThread(int transfer, const QStringList &paths);
    ~TCPSendThread() override; // interrupts a running transfer and waits for it

    // The receiver to send to, once the user has picked it; may come before or after listing.
    void setReceiver(const QString &ip, const QString &senderName);
    // The receiver's port; only tests use another than the transfer port.
    void setPort(quint16 port) { this->port = port; }
    // How long to wait for the receiver's end beyond the bytes still in flight; tests shorten it.
    void setConfirmSlack(int ms) { confirmSlackMs = ms; }
    void cancel();

signals:
    // The items, counts and sizes of the drop; the request can be built from them.
    void listed(int transfer, const SendPacker &list);
    // The receiver said yes; the body goes out from now on.
    void accepted(int transfer);
    // Body bytes sent so far, a few times a second and once at the end of the body.
    void updateProgress(int transfer, qint64 sent, qint64 total);
    // `outcome` is an Outcome. For ListFailed `error` is a SendPacker::Error, for SourceFailed a
    // StreamSender::Error; `item` names what it is about.
    void sendEnded(int transfer, int outcome, int error, const QString &item);

protected:
    void run() override;

private:
    int runStages();
    bool list();
    bool awaitReceiver();
    int connectTo(QTcpSocket &socket);
    int ask(QTcpSocket &socket);
    int sendBody(QTcpSocket &socket);
    int awaitConfirmation(QTcpSocket &socket, double bytesPerMs);

    const int id;
    const QStringList paths;
    quint16 port;
    int confirmSlackMs = 5000;
    SendPacker packer;
    int error = 0;
    QString errorItem;
    // Set by cancel(); the listing and the body look at it between their pieces.
    std::atomic<bool> stopping{false};

    std::mutex mutex;
    std::condition_variable receiverSet;
    QString ip;
    QString senderName;
};

Q_DECLARE_METATYPE(SendPacker)

#endif // TCPSENDTHREAD_H
