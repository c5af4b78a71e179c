#ifndef CONNECTOR_H
#define CONNECTOR_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QTcpSocket;

// Opens the connection of a transfer. Each attempt has the whole bound; a typed address never
// heard is tried on both ports at once, and the extended port wins when it answers within
// probeMs of the plain one, so that a plain peer waits no longer than a refusal takes.
class Connector : public QObject
{
    Q_OBJECT

public:
    // Plain only (heard on the presence port alone), the extended port announced (the plain one
    // if that fails), or a typed address (both at once).
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
    bool plainLater = false; // the extended port was announced: plain only if it fails
    QTimer bound;
    QTimer probe;
};

#endif // CONNECTOR_H
