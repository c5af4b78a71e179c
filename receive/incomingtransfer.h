#ifndef INCOMINGTRANSFER_H
#define INCOMINGTRANSFER_H

#include "protocol/handover.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/planpool.h"
#include "receive/receiveoffer.h"
#include "receive/receiveoutcome.h"
#include "receive/receivesettings.h"
#include "receive/savefolder.h"
#include "receive/storedentry.h"
#include "records/partialregistry.h"
#include "security/pairingcode.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class QTcpSocket;
class TlsRelay;
class TransferStore;

// One incoming transfer from connect to its last byte, plain or extended, in the receive thread:
// the request (and an extended request's manifest) is read, judged, planned against the save
// folder, asked about, and its body stored. Plain and extended differ only where their bytes do.
// Until the listener hands it the receiver (start()) nothing of it is reported: a peer that only
// connects or misbehaves leaves no trace in the view.
class IncomingTransfer : public QObject
{
    Q_OBJECT

public:
    enum class Stage { Request, Manifest, Pairing, Plan, Question, Store, End };
    using Outcome = ReceiveOutcome::Outcome;

    // A request is a few hundred bytes; a peer that keeps talking without pause is not sending one.
    static constexpr qint64 maxHeaderBytes = 64 * 1024;
    // An honest sender sends nothing before the answer; a little is kept for one that does.
    static constexpr qint64 maxEarlyBytes = 64 * 1024;
    static constexpr int reportIntervalMs = 250;
    // File systems store contents in whole blocks of usually 4 KiB: every item may cost up to one
    // block beyond its contents.
    static constexpr qint64 blockSize = 4096;
    // After its "X" the sender has this long to close before the reset.
    static constexpr int failLingerMs = 2000;

    static qint64 spaceNeeded(qint64 size, qint64 items) { return size + items * blockSize; }

    IncomingTransfer(QTcpSocket *socket, bool extended, int requestMs, PlanPool *planners,
                     QObject *parent = nullptr);
    ~IncomingTransfer() override;

    Stage stage() const { return current; }
    // The request (and manifest) are in; it waits to be handed the receiver.
    bool isReady() const { return ready; }
    // Asked about or being stored: other senders are turned away meanwhile.
    bool holdsReceiver() const { return current == Stage::Question || current == Stage::Store; }
    quint64 id() const { return transfer; }
    QString senderName() const;
    QString peerAddress() const;
    // The socket is the plain end of `tls`, which holds the session with the peer at `address`;
    // an extended request is taken only this way, from the sender its certificate names.
    void setRelay(std::shared_ptr<TlsRelay> tls, const QString &address);

    // The receiver is its own from here on, under `id` and with what the view set at this time;
    // `ownFiles` are the program's files that nothing may replace.
    void start(quint64 id, const ReceiveSettings &settings, const QStringList &ownFiles,
               PartialRegistry *partials);
    void refuseBusy();
    // Gives the request from now on at most `ms` to come in, and never more than its time from
    // connect; when `takeWhatCame`, what came by then is taken as the request, else the
    // connection is dropped.
    void setRequestDeadline(int ms, bool takeWhatCame);
    void accept();
    void refuse();
    void cancel();
    // Ends it at once, as the session closes: a body being stored is cut and what it leaves kept.
    void close();

signals:
    void arrived();
    void asking();
    void offered(quint64 transfer, const ReceiveOffer &offer);
    void progress(quint64 transfer, qint64 received, qint64 total);
    // `unchanged`: files inside folders found unchanged, which have no entries.
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries, int unchanged);
    void partialsKept(quint64 transfer, const QList<PartialRegistry::Entry> &entries);
    // Only once started.
    void ended(quint64 transfer, int outcome, const QString &reason);
    // The connection is gone: the listener may delete it.
    void finished();

private:
    void readSocket();
    void readRequest();
    void requestIn();
    bool senderProved();
    void meet();
    void readPairing();
    void rememberSender();
    void readManifest();
    void becomeReady();
    bool holdEarly();
    bool judge();
    void plan();
    void startPlanner(PlanPool::Input input);
    void planned(const PlanPool::Result &result);
    void askHashes(const PlanPool::Result &result);
    void readHashes();
    bool takeHash(int index, const ContentHash::Value &hash);
    void ask();
    void readBody();
    void drainSocket();
    void takeBody(const char *data, qint64 length);
    void senderClosed();
    void requestTimedOut();
    void answerTimedOut();
    void idleTimedOut();
    void report();
    void succeed();
    void failStore(Outcome outcome, const QString &reason, const QString &peerReason);
    void refuseWith(const QString &reason, Outcome outcome = ReceiveOutcome::Failed);
    void drop(const char *why);
    void finish(Outcome outcome, const QString &reason);
    void closeAfterReply(const QByteArray &reply);
    void gone();

    QTcpSocket *socket; // a child
    std::shared_ptr<TlsRelay> relay;
    QString relayedFrom;
    QByteArray commitment; // to the sender's pairing nonce
    QString knownReceiver; // whom the sender takes us for, when it knows us
    QByteArray ownNonce;   // while pairing
    bool bodyBegan = false;
    const bool extended;
    PlanPool *planners;
    ReceiveSettings settings;
    PartialRegistry *partials = nullptr;
    std::optional<SaveFolder> folder; // from start() on
    Stage current = Stage::Request;
    bool ready = false;
    bool takeAtDeadline = false;
    bool endedOnce = false; // ended() emitted
    bool reported = false;  // finished() emitted
    quint64 transfer = 0;
    QElapsedTimer connected;
    int requestMs;
    QTimer deadline;
    QTimer quiet;
    QTimer answerTimer;
    QTimer idleTimer;
    QTimer signTimer;
    QTimer reportTimer;
    QTimer lingerTimer;
    QByteArray header;
    QByteArray manifestBytes;
    QByteArray early;
    QByteArray buffer;
    qint64 manifestLength = 0;
    QString senderId;
    ReceiveOffer offer;
    Manifest manifest;
    TransferPlan transferPlan;
    HandOver fromPlanner;
    std::shared_ptr<PlanPool::Ticket> ticket;
    // The "C" round, at most one: the files whose hashes the sender is to tell, in order.
    bool hashesAsked = false;
    ReceivePlanner::Result firstPlan;
    QVector<int> hashesDue;
    QHash<int, ContentHash::Value> senderHashes;
    int hashesTaken = 0;
    QByteArray answers;
    std::unique_ptr<TransferStore> store;
    qint64 progressTotal = 0;
};

#endif // INCOMINGTRANSFER_H
