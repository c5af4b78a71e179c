#ifndef CONNECTOR_H
#define CONNECTOR_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QTcpSocket;

// Opens the connection of a transfer. Each attempt has the whole bound. Where the extended
// protocol may be spoken, both ports are tried at once, and the extended one wins when it
// answers within probeMs of the plain one: a slow link still gets it, and a plain peer waits no
// longer than a refusal takes (or probeMs where its port is filtered).
class Connector : public QObject
{
    Q_OBJECT

public:
    // Plain only (heard on the presence port alone), the extended port announced, or a typed
    // address never heard; the last two are tried alike.
    enum class Protocol { Plain, Extended, Probe };

    static constexpr int boundMs = 30000;
    static constexpr int probeMs = 4000;

    explicit Connector(QObject *parent = nullptr);

    void start(const QString &ip, quint16 plainPort, quint16 extendedPort, Protocol protocol);
    // Drops every attempt; nothing is reported after it.
    void cancel();

signals:
    // `descriptor` is a duplicate the receiver of the signal owns.
    void connected(qintptr descriptor, bool extended);
    void failed();

private:
    QTcpSocket *attempt(quint16 port);
    void settle();
    void take(QTcpSocket *socket, bool extended);

    QString address;
    quint16 plainPort = 0;
    QPointer<QTcpSocket> plain;
    QPointer<QTcpSocket> extended;
    bool extendedFailed = false;
    bool plainFailed = false;
    bool probeOver = false;
    QTimer bound;
    QTimer probe;
};

#endif // CONNECTOR_H
