#ifndef RECEIVESESSION_H
#define RECEIVESESSION_H

#include "receive/receiveoffer.h"
#include "receive/receiveserver.h"
#include "receive/storedentry.h"

#include <QHostAddress>
#include <QObject>

class QThread;

// The receiving side of transfers without any widget. Its work (the server, the connections,
// the storing) runs in a thread of its own; its signals arrive in the thread that made it, and
// its calls never wait for that thread. Each transfer has an id, carried by every signal about
// it and by every answer to it, so that nothing late of one transfer can touch the next.
class ReceiveSession : public QObject
{
    Q_OBJECT

public:
    using Outcome = ReceiveServer::Outcome;

    explicit ReceiveSession(QObject *parent = nullptr);
    ~ReceiveSession() override; // a transfer still running is cancelled

    // Starts listening, for extended requests on `extendedPort` too; listening() tells the
    // result. From here on, nothing of an earlier listen is reported.
    void listen(const QHostAddress &address, quint16 port,
                quint16 extendedPort = ExtendedProtocol::tcpPort);
    // Stops listening and cancels a transfer still running. Returns at once: the worker stops
    // at its next piece, and nothing of what it ends is reported.
    void close();

    // Between an offer and the end of its transfer.
    bool transferRunning() const { return running; }

    // How long a connection may stay silent while a request or a body is expected, how long the
    // user has to answer, and the quiet period that ends a request without its empty line; tests
    // shorten them. Take effect at the next listen().
    void setTimeouts(int idleMs, int answerMs, int quietMs = ReceiveServer::quietPeriodMs);

public slots:
    // Each is ignored unless `transfer` is the one being asked about (or, for cancel, run).
    void accept(quint64 transfer);
    void refuse(quint64 transfer);
    void cancel(quint64 transfer);

signals:
    // `extendedPort` is 0 when only plain requests can come.
    void listening(bool ok, const QString &error, quint16 extendedPort);
    // Partial files kept for later transfers; told once a listen starts.
    void partialsKept(const QList<PartialRegistry::Entry> &entries);
    void offered(quint64 transfer, const ReceiveOffer &offer);
    // File contents stored so far against the size the request announced; a few times a second.
    void progress(quint64 transfer, qint64 received, qint64 total);
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries);
    // `outcome` is a ReceiveServer::Outcome; `reason` is set where the outcome alone does not
    // tell. A request refused before it was offered ends with an id never offered.
    void ended(quint64 transfer, int outcome, const QString &reason);
    // A request that came while a transfer was asked about or received was refused; at most
    // once a minute for each address.
    void busyRefused(const QString &sender, const QString &address);

private:
    // The ids of a listen carry its number in their upper half.
    bool isCurrent(quint64 id) const { return id >> 32 == listenNumber; }

    QThread *thread;
    ReceiveServer *server; // lives in `thread`, deleted when it finishes
    quint64 listenNumber = 0;
    bool running = false;
};

#endif // RECEIVESESSION_H
