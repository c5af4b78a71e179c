#ifndef UDPSENDTHREAD_H
#define UDPSENDTHREAD_H

#include "protocol/handover.h"
#include "protocol/presencelist.h"
#include "security/fingerprint.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QStringList>
#include <QThread>

#include <memory>
#include <mutex>

class QTimer;
class QUdpSocket;

// Presence: announces "name:address:receive" once a second to 224.0.0.1:6343, or (listen mode)
// keeps the receivers heard (see PresenceList). The constructor learns the local IPv4 address at
// once, without sending a packet, so a receive view can listen on it before it starts announcing.
// A name that SettingsKeys::isValidUserName refuses, or an unknown address, is not announced.
// Its sockets and timers live in a thread of their own, driven by their events; the calls below
// may come from any thread.
class UDPSendThread : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 presencePort = 6343;

    UDPSendThread();
    ~UDPSendThread() override; // stops the thread and waits for it

    const QHostAddress localAddress; // null when no address could be learnt
    const QString localIp;

    // Seen by a running announcer from its next announcement on.
    void setUserName(const QString &name);
    // The installation the extended announcement names, so that a sender can tell a device it
    // knows before it connects; none by default.
    void setFingerprint(const Fingerprint &own);
    void setListenMode(bool listen);
    void start(QThread::Priority priority = QThread::InheritPriority);
    // Ends a running thread at once and returns when it has ended, so that a start() right after
    // always runs.
    void stopThread();
    bool isRunning() const { return thread.isRunning(); }
    bool isFinished() const { return thread.isFinished(); }

    // The presence texts of the receivers heard and not gone, in the order first heard.
    QStringList userList() const;

    // Announcer: the port on which this receiver also takes the extended protocol, announced on
    // its own UDP port beside the presence text; 0 announces nothing there.
    void setExtendedPort(quint16 port);
    // Listener: the extended port the receiver at `ip` announced lately; 0 when it announced none.
    quint16 extendedPort(const QString &ip) const;
    // Listener: the fingerprint that receiver announced with it; null when it announced none.
    Fingerprint extendedFingerprint(const QString &ip) const;

    // The address the system would use for outgoing traffic: a UDP socket "connected" to a public
    // address sends nothing, it only picks the interface. Falls back to the first IPv4 address of
    // an interface that is up, running and not loopback.
    static QHostAddress probeLocalAddress();

signals:
    // The whole list as userList() gives it, after it changed (a receiver came, was renamed or
    // went) or what a receiver announced on the extended port did; at most one emission per
    // tenth of a second, however many datagrams arrive.
    void userListUpdate(const QStringList &list);

public slots:
    void userListRefresh();

private:
    // In the presence thread.
    void begin();
    void end();
    std::unique_ptr<QUdpSocket> joinedSocket(quint16 port) const;
    void announce();
    void takeIn();
    void takeInDatagrams();
    void takeInExtended();
    bool listening() const;

    QThread thread;
    HandOver toOwner; // lives in the owner's thread, which userListUpdate is emitted in
    // Made and dropped in the presence thread, so that their events are taken there.
    std::unique_ptr<QObject> context;
    std::unique_ptr<QUdpSocket> presence;
    std::unique_ptr<QUdpSocket> extended;
    QElapsedTimer clock;
    bool changed = false; // the list changed since it was last sent out

    // Standard primitives rather than QMutex: ThreadSanitizer understands them, and the peer list
    // is used by two threads.
    mutable std::mutex mutex; // guards everything below
    QString userName = QStringLiteral("ruvak");
    Fingerprint fingerprint;
    bool listenMode = false;
    PresenceList peers;
    quint16 announcedPort = 0;
    struct ExtendedPeer
    {
        quint16 port;
        qint64 lastHeard;
        Fingerprint fingerprint;
    };
    QHash<QString, ExtendedPeer> extendedPeers; // by address
};

#endif // UDPSENDTHREAD_H
