#ifndef UDPSENDTHREAD_H
#define UDPSENDTHREAD_H

#include <QHostAddress>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QUdpSocket;

// Presence: announces "name:address:receive" once a second to 224.0.0.1:6343, or (listen mode)
// collects the distinct announcements heard. The constructor learns the local IPv4 address at
// once, without sending a packet.
class UDPSendThread : public QThread
{
    Q_OBJECT

public:
    static constexpr quint16 presencePort = 6343;

    UDPSendThread();
    ~UDPSendThread() override; // stops the loop and waits for it

    const QHostAddress localAddress; // null when no address could be learnt
    const QString localIp;

    void setUserName(const QString &name);
    void setListenMode(bool listen);
    // Ends a running loop at once and returns when it has ended, so that a start() right after
    // always runs.
    void stopThread();

    QStringList userList() const;

    // The address the system would use for outgoing traffic: a UDP socket "connected" to a public
    // address sends nothing, it only picks the interface. Falls back to the first IPv4 address of
    // an interface that is up, running and not loopback.
    static QHostAddress probeLocalAddress();

signals:
    // Carries a copy of the peer list, so the receiver never reads the worker's own list.
    void userListUpdate(const QStringList &list);

public slots:
    void userListRefresh();

protected:
    void run() override;

private:
    void takeInDatagrams(QUdpSocket &socket, bool keep);
    void addPeer(const QString &text);
    bool waitForNextCycle();

    // Standard primitives rather than QMutex/QWaitCondition: ThreadSanitizer understands them,
    // and the peer list is used by two threads.
    mutable std::mutex mutex; // guards everything below
    std::condition_variable wake;
    QString userName = QStringLiteral("ruvak");
    bool listenMode = false;
    std::atomic<bool> stopRequested{false}; // written under the mutex, so no wake-up is lost
    QStringList peers;
};

#endif // UDPSENDTHREAD_H
