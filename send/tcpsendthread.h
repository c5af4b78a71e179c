#ifndef TCPSENDTHREAD_H
#define TCPSENDTHREAD_H

#include "protocol/contenthash.h"
#include "protocol/extendedprotocol.h"
#include "send/sendpacker.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

class Manifest;
class QTcpSocket;
class TransferPlan;
class TransferRequest;

// Carries out one transfer, stage by stage: lists the dropped paths, hashes the files while the
// user picks a receiver, connects, writes the request, waits for the answer, sends the body
// straight from the source files and waits for the receiver to end the connection: a receiver
// that stored everything closes it, one that could not resets it. Toward another copy of this
// program the request carries a manifest, and the body only what the receiver's plan leaves to
// send; toward any other receiver the bytes are those of the plain protocol. Every signal carries
// the transfer's id, as one of a finished transfer may still be on its way when the next begins.
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

    // How to reach the receiver: the plain protocol only (it was heard on the presence port
    // alone), the extended one on the port it announced, or a typed address never heard: the
    // extended port is tried for probeMs, then the plain protocol.
    enum class Protocol { Plain, Extended, Probe };

    struct ResumedFile
    {
        QString name;
        qint64 offset = 0;
    };

    static constexpr int waitMs = 30000;
    static constexpr int probeMs = 80;
    // Files read at once while hashing.
    static constexpr int hashingReaders = 4;
    // A receiver that announced the extended protocol answers at once; one that cannot be reached
    // there within this is sent to the plain way.
    static constexpr int extendedConnectMs = 3000;
    static constexpr int reportIntervalMs = 250;

    TCPSendThread(int transfer, const QStringList &paths);
    ~TCPSendThread() override; // interrupts a running transfer and waits for it

    // The receiver to send to, once the user has picked it; may come before or after listing.
    // `extendedPort` is where Extended and Probe try the extended protocol.
    void setReceiver(const QString &ip, const QString &senderName,
                     Protocol protocol = Protocol::Plain,
                     quint16 extendedPort = ExtendedProtocol::tcpPort);
    // The receiver's port; only tests use another than the transfer port.
    void setPort(quint16 port) { this->port = port; }
    // How long to wait for the receiver's end beyond the bytes still in flight; tests shorten it.
    void setConfirmSlack(int ms) { confirmSlackMs = ms; }
    void cancel();

signals:
    // The items, counts and sizes of the drop; the request can be built from them.
    void listed(int transfer, const SendPacker &list);
    // An extended receiver's plan, once it said yes: the files it has already, and those that
    // continue from an offset; `total` is the length of the body that moves.
    void planned(int transfer, int skippedFiles, qint64 skippedBytes,
                 const QList<TCPSendThread::ResumedFile> &resumed, qint64 total);
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
    int hashFiles(const std::atomic<bool> &stop);
    bool awaitReceiver();
    int connectExtended(QTcpSocket &socket);
    int connectTo(QTcpSocket &socket, quint16 toPort, int boundMs);
    TransferRequest plainRequest();
    int ask(QTcpSocket &socket);
    int askExtended(QTcpSocket &socket, QVector<qint64> *offsets);
    int partOffsets(const Manifest &manifest, const TransferPlan &plan, QVector<qint64> *offsets,
                    QList<ResumedFile> *resumed);
    int sendBody(QTcpSocket &socket, const QVector<qint64> *offsets);
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
    // Set once a receiver is picked (or by cancel()): ends the hashing while the user chooses,
    // so that a plain transfer does not wait for it.
    std::atomic<bool> receiverChosen{false};
    // Per listed item: its hash, and whether it has been taken (folders count as taken).
    QVector<ContentHash::Value> hashes;
    std::vector<char> hashed;
    int hashedCount = 0;
    qint64 hashingMs = 0;

    std::mutex mutex;
    std::condition_variable receiverSet;
    QString ip;
    QString senderName;
    Protocol protocol = Protocol::Plain;
    quint16 extendedPort = ExtendedProtocol::tcpPort;
};

Q_DECLARE_METATYPE(SendPacker)
Q_DECLARE_METATYPE(TCPSendThread::ResumedFile)

#endif // TCPSENDTHREAD_H
