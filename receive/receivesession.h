#ifndef RECEIVESESSION_H
#define RECEIVESESSION_H

#include "receive/receiveoffer.h"
#include "receive/receiveserver.h"
#include "receive/streamunpacker.h"

#include <QHostAddress>
#include <QObject>
#include <QThread>

// The receiving side of transfers without any widget. Its work (the server, the connection,
// the work files and the unpacking) runs in a thread of its own; its signals arrive in the
// thread that made it, and its slots may be called from there.
class ReceiveSession : public QObject
{
    Q_OBJECT

public:
    using Outcome = ReceiveServer::Outcome;

    explicit ReceiveSession(QObject *parent = nullptr);
    ~ReceiveSession() override; // a transfer still running is cancelled

    // Starts listening; on failure `error` says why. Returns once the server is listening.
    bool listen(const QHostAddress &address, quint16 port, QString *error = nullptr);
    // Stops listening and cancels a transfer still running; returns when that is done.
    void close();

    // Between an offer and the end of its transfer.
    bool transferRunning() const { return running; }

    // How long a connection may stay silent while a request or a body is expected, and how long
    // the user has to answer; tests shorten them. Take effect at the next listen().
    void setTimeouts(int idleMs, int answerMs);

public slots:
    void accept();
    void refuse();
    void cancel();

signals:
    void offered(const ReceiveOffer &offer);
    // File contents stored so far against the size the request announced; a few times a second.
    void progress(qint64 received, qint64 total);
    void itemsStored(const QList<StreamUnpacker::Entry> &entries);
    // `outcome` is a ReceiveServer::Outcome; `reason` is set where the outcome alone does not tell.
    void ended(int outcome, const QString &reason);

private:
    QThread thread;
    ReceiveServer *server; // lives in `thread`, deleted when it finishes
    bool running = false;
};

#endif // RECEIVESESSION_H
