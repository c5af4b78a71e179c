#ifndef UDPSENDTHREAD_H
#define UDPSENDTHREAD_H

#include "protocol/presencelist.h"

#include <QHash>
#include <QHostAddress>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QUdpSocket;

// Presence: announces "name:address:receive" once a second to 224.0.0.1:6343, or (listen mode)
// keeps the receivers heard (see PresenceList). The constructor learns the local IPv4 address at
// once, without sending a packet, so a receive view can listen on it before it starts announcing.
// A name that SettingsKeys::isValidUserName refuses, or an unknown address, is not announced.
class UDPSendThread : public QThread
{
    Q_OBJECT

public:
    static constexpr quint16 presencePort = 6343;

    UDPSendThread();
    ~UDPSendThread() override; // stops the loop and waits for it

    const QHostAddress localAddress; // null when no address could be learnt
    const QString localIp;

    // Seen by a running announcer from its next announcement on.
    void setUserName(const QString &name);
    void setListenMode(bool listen);
    // Ends a running loop at once and returns when it has ended, so that a start() right after
    // always runs.
    void stopThread();

    // The presence texts of the receivers heard and not gone, in the order first heard.
    QStringList userList() const;

    // Announcer: the port on which this receiver also takes the extended protocol, announced on
    // its own UDP port beside the presence text; 0 announces nothing there.
    void setExtendedPort(quint16 port);
    // Listener: the extended port the receiver at `ip` announced lately; 0 when it announced none.
    quint16 extendedPort(const QString &ip) const;

    // The address the system would use for outgoing traffic: a UDP socket "connected" to a public
    // address sends nothing, it only picks the interface. Falls back to the first IPv4 address of
    // an interface that is up, running and not loopback.
    static QHostAddress probeLocalAddress();

signals:
    // The whole list as userList() gives it, after it changed (a receiver came, was renamed or
    // went); at most one emission per tenth of a second, however many datagrams arrive.
    void userListUpdate(const QStringList &list);

public slots:
    void userListRefresh();

protected:
    void run() override;

private:
    void takeInDatagrams(QUdpSocket &socket, bool keep, qint64 nowMs);
    void takeInExtended(QUdpSocket &socket, bool keep, qint64 nowMs);
    bool waitForNextSlice();

    // Standard primitives rather than QMutex/QWaitCondition: ThreadSanitizer understands them,
    // and the peer list is used by two threads.
    mutable std::mutex mutex; // guards everything below
    std::condition_variable wake;
    QString userName = QStringLiteral("ruvak");
    bool listenMode = false;
    std::atomic<bool> stopRequested{false}; // written under the mutex, so no wake-up is lost
    PresenceList peers;
    quint16 announcedPort = 0;
    struct ExtendedPeer
    {
        quint16 port;
        qint64 lastHeard;
    };
    QHash<QString, ExtendedPeer> extendedPeers; // by address
};

#endif // UDPSENDTHREAD_H
