#ifndef RECEIVESESSION_H
#define RECEIVESESSION_H

#include "protocol/extendedprotocol.h"
#include "protocol/handover.h"
#include "receive/receiveoffer.h"
#include "receive/receiveoutcome.h"
#include "receive/receivesettings.h"
#include "receive/storedentry.h"
#include "records/partialregistry.h"

#include <QHostAddress>
#include <QObject>

#include <memory>

class PlanPool;
class QThread;
class ReceiveListener;

// The receiving side of transfers without any widget. Its work (the listener, the connections,
// the storing) runs in a thread of its own and its plans in a pool; its signals arrive in the
// thread that made it, and its calls never wait for that thread. Each transfer has an id, carried
// by every signal about it and by every answer to it, so that nothing late of one transfer can
// touch the next. The view hands it the save folder and the name-clash rule.
class ReceiveSession : public QObject
{
    Q_OBJECT

public:
    using Outcome = ReceiveOutcome::Outcome;

    explicit ReceiveSession(QObject *parent = nullptr);
    // A transfer still running is cancelled and what it leaves kept; plans still running are
    // cancelled and waited for.
    ~ReceiveSession() override;

    // Starts listening, for extended requests on `extendedPort` too; listening() tells the
    // result. From here on, nothing of an earlier listen is reported.
    void listen(const QHostAddress &address, quint16 port,
                quint16 extendedPort = ExtendedProtocol::tcpPort);
    // Stops listening and cancels a transfer still running. Returns at once.
    void close();

    // Where received items go and what a taken name does; a transfer takes them when it is asked
    // about.
    void setSaveFolder(const QString &saveDir, SettingsKeys::NameClash rule);
    // Whether a sender met for the first time is remembered once both users said yes; not where
    // nobody compares the pairing code.
    void setRememberPaired(bool remember);
    // How long a body may pause, how long the user has to answer, the quiet period that ends a
    // plain request without its empty line, and how long a peer may take from connect until its
    // request is in; tests shorten them.
    void setTimeouts(int idleMs, int answerMs, int quietMs = ReceiveSettings().quietMs,
                     int requestMs = ReceiveSettings().requestMs);
    // Between two signs of life while an extended request is planned, and what the planner runs
    // before it plans; for tests.
    void setPlanning(int signMs,
                     std::function<void(const std::atomic<bool> &cancelled)> beforePlan = {});

    // Between an offer and the end of its transfer.
    bool transferRunning() const { return running; }

public slots:
    // Each is ignored unless `transfer` is the one being asked about (or, for cancel, run).
    void accept(quint64 transfer);
    void refuse(quint64 transfer);
    void cancel(quint64 transfer);

signals:
    // `extendedPort` is 0 when only plain requests can come.
    void listening(bool ok, const QString &error, quint16 extendedPort);
    // Partial files kept for later transfers; told once a listen starts, and after a transfer
    // that left one.
    void partialsKept(const QList<PartialRegistry::Entry> &entries);
    void offered(quint64 transfer, const ReceiveOffer &offer);
    // File contents stored so far against those that move; a few times a second.
    void progress(quint64 transfer, qint64 received, qint64 total);
    // What became of the items stored since the last report; files inside folders found
    // unchanged are only counted, in `unchanged`.
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries, int unchanged);
    // `outcome` is a ReceiveOutcome::Outcome; `reason` is set where the outcome alone does not
    // tell. A request refused before it was offered ends with an id never offered.
    void ended(quint64 transfer, int outcome, const QString &reason);
    // A request that came while a transfer was asked about or received was refused; at most
    // once a minute for each address.
    void busyRefused(const QString &sender, const QString &address);

private:
    // The ids of a listen carry its number in their upper half.
    bool isCurrent(quint64 id) const { return id >> 32 == listenNumber; }
    void post(std::function<void(ReceiveListener *)> call);
    void connectListener();

    QThread *thread;
    std::unique_ptr<PlanPool> planners;
    ReceiveListener *listener; // lives in `thread`, deleted when it finishes
    QMetaObject::Connection ending;
    HandOver fromListener;    // in this object's thread
    ReceiveSettings settings; // as last handed over
    quint64 listenNumber = 0;
    bool running = false;
};

#endif // RECEIVESESSION_H
