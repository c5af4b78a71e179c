#ifndef SENDWORKER_H
#define SENDWORKER_H

#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "records/fileidentity.h"
#include "send/connector.h"
#include "send/senderpairing.h"
#include "send/sendpacker.h"
#include "send/sendresult.h"
#include "send/streamsender.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <memory>

class IdentityReader;
class FileHasher;
class QSocketNotifier;
class PeerLink;
class TlsRelay;
class TransferPlan;
class TransferRequest;

// Carries out one transfer in the thread it is moved to, one stage after the other, each started
// by an event: lists the dropped paths, waits for the receiver to be picked, connects, asks,
// sends the body straight from the source files and waits for the receiver's end. Toward
// another copy of this program the request carries a manifest and the body only what the
// receiver's plan leaves to send, each file read once for the socket and its hash; toward any
// other receiver the bytes are those of the plain protocol. The end is reported once.
class SendWorker : public QObject
{
    Q_OBJECT

public:
    struct Receiver
    {
        QString ip;
        QString senderName;
        Connector::Protocol protocol = Connector::Protocol::Plain;
        quint16 extendedPort = ExtendedProtocol::tcpPort;
        QString name; // as it announced itself; empty for an address typed by hand
    };
    // What the user is asked before anything of the transfer leaves: whether the receiver shows
    // the same pairing code, or whether a paired device that answers only in the clear is sent
    // to that way.
    enum class Question { Pairing, Unencrypted };
    struct ResumedFile
    {
        QString name;
        qint64 offset = 0;
    };

    static constexpr int waitMs = 30000;
    static constexpr int reportIntervalMs = 250;

    // `cancelled` is shared with whoever may stop the transfer from another thread.
    SendWorker(int transfer, const QStringList &paths, quint16 plainPort, int confirmSlackMs,
               std::shared_ptr<std::atomic<bool>> cancelled);
    ~SendWorker() override;

public slots:
    void run();
    void setReceiver(const SendWorker::Receiver &receiver);
    // Ends the transfer as cancelled; the body's loop sees the shared flag on its own.
    void stop();
    // The user's answer to the question asked.
    void answer(bool yes);

signals:
    void listed(int transfer, const SendPacker &list);
    // An extended receiver's plan: the files it has, those that continue from an offset, and
    // the length of the body that moves.
    void planned(int transfer, int skippedFiles, qint64 skippedBytes,
                 const QList<SendWorker::ResumedFile> &resumed, qint64 total);
    void asking(int transfer, SendWorker::Question question, const QString &code);
    void accepted(int transfer);
    void progress(int transfer, qint64 sent, qint64 total);
    void ended(int transfer, const SendResult &result);

private:
    enum class Stage {
        Listing,
        Choosing,
        Connecting,
        Shaking,    // the TLS handshake
        Confirming, // our user is asked, and nothing more goes out meanwhile
        Asking,
        Hashing,
        Body,
        Ending,
        Done
    };

    void connectToReceiver();
    void connected(qintptr descriptor, bool extended);
    void shaken();
    void stopWatchingHandshake();
    bool handshakeFailed();
    bool knownInTheClear() const;
    void askUser(Question question, const QString &code = QString());
    void takePairing(const QByteArray &receiverNonce);
    void accept(const QByteArray &planBytes);
    qint64 unacknowledged() const;
    TransferRequest plainRequest() const;
    void ask(const QByteArray &request);
    QByteArray manifest();
    void readable();
    void takePlainAnswer();
    void takeExtendedWords();
    void hashForReceiver(const QVector<int> &indexes);
    void hashed(bool ok, int failed);
    void stillHashing();
    void plan(const QByteArray &planBytes);
    // The item's file is still the one the manifest named.
    bool unchanged(int index, IdentityReader *reader = nullptr) const;
    bool skippedUnchanged(const TransferPlan &steps);
    bool resumeFrom(const TransferPlan &steps);
    void sendBody();
    StreamSender::Error peerCheck();
    void bodyFailed(const StreamSender &sender);
    void takeEnd();
    void endTick();
    int endSlackMs() const;
    void fail(SendResult::Outcome outcome, const QString &item = QString());
    void finish(SendResult::Outcome outcome);

    const int id;
    const QStringList paths;
    const quint16 plainPort;
    const int confirmSlackMs;
    std::shared_ptr<std::atomic<bool>> cancelled;
    Stage stage = Stage::Listing;
    Receiver receiver;
    bool receiverSet = false;
    bool extended = false;
    SendPacker packer;
    SendResult result;
    Connector *connector = nullptr;
    PeerLink *link = nullptr;
    // The TLS session of an extended connection, whose plain end the link holds.
    std::shared_ptr<TlsRelay> relay;
    QSocketNotifier *handshakeWatch = nullptr; // a child, disabled before the relay goes
    SenderPairing pairing;
    Question pending = Question::Pairing; // while Confirming, or while the code is shown
    QByteArray heldPlan;                  // the receiver's plan, until our user confirmed the code
    bool inTheClearAllowed = false;       // the user said yes to sending unencrypted
    FileHasher *hasher = nullptr;
    QVector<int> hashing; // the indexes the receiver asked for
    Manifest offer;       // as the request carries it
    QByteArray offerBytes;
    QVector<FileIdentity> identities; // of its items, as it named them
    QVector<StreamSender::Part> parts;
    QByteArray incoming;
    // Children, so that they move to the transfer's thread with the worker.
    QTimer answerTimer;
    QTimer tick;
    QDeadlineTimer endDeadline;
    qint64 inFlight = 0;
    double bytesPerMs = 1;
    bool stored = false; // "K" came
    bool finishedWriting = false;
};

Q_DECLARE_METATYPE(SendPacker)
Q_DECLARE_METATYPE(SendWorker::ResumedFile)
Q_DECLARE_METATYPE(SendWorker::Receiver)
Q_DECLARE_METATYPE(SendWorker::Question)

#endif // SENDWORKER_H
