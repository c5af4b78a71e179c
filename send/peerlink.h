#ifndef PEERLINK_H
#define PEERLINK_H

#include <QByteArray>
#include <QObject>

#include <atomic>

class QSocketNotifier;

// A connected socket's descriptor, owned from the connect on, so that the body's system calls
// and our reads of the receiver's words never race with Qt's own: Qt reads an orderly close
// and a reset alike, but a sender must tell them apart. Reports that bytes or the peer's end
// are waiting through readable(), in the thread it lives in.
class PeerLink : public QObject
{
    Q_OBJECT

public:
    enum State { Open, Ended, Broken };

    // Takes `descriptor` (non-blocking) and closes it with the link.
    explicit PeerLink(qintptr descriptor, QObject *parent = nullptr);
    ~PeerLink() override;

    qintptr descriptor() const { return fd; }
    // Writes all of `bytes`, waiting while the peer takes nothing for at most `stallMs`; false
    // when the connection broke, stalled or `cancelled` was set.
    bool write(const QByteArray &bytes, const std::atomic<bool> &cancelled, int stallMs);
    // Appends what has arrived, without waiting: Ended after the peer's orderly close, Broken
    // after a reset.
    State read(QByteArray *into);
    // Bytes handed to the system that the peer has not acknowledged yet; 0 where unknown.
    qint64 unacknowledged() const;
    // Our end after all that is queued: what a receiver waiting for the sender's end needs.
    void finishWriting();
    // Tells the receiver that what it got is not whole: a reset, never an orderly close.
    void reset();

signals:
    void readable();

private:
    qintptr fd;
    QSocketNotifier *notifier;
};

#endif // PEERLINK_H
