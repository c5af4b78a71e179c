#ifndef TLSPEER_H
#define TLSPEER_H

#include "security/identity.h"
#include "security/tlsrelay.h"

#include <QDir>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <map>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

// The TLS side of a test that speaks the extended protocol itself: named identities, and sockets
// that read and write the plain end of a relay.
namespace TlsPeer {

// The identity shown as `name`, made at its first use in a folder of its own.
inline const Identity &identity(const QString &name)
{
    static QTemporaryDir folder;
    static std::map<QString, std::unique_ptr<Identity>> made;
    std::unique_ptr<Identity> &slot = made[name];
    if (!slot && QDir().mkpath(folder.filePath(name)))
        slot = std::make_unique<Identity>(folder.filePath(name));
    return *slot;
}

// Gives `socket` the plain end of a relay over the connection `tcp` held, which is aborted.
inline bool wrap(QTcpSocket *socket, QTcpSocket *tcp, TlsChannel::Role role, const QString &name,
                 std::shared_ptr<TlsRelay> *session = nullptr)
{
    const int fd = ::fcntl(int(tcp->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    tcp->abort();
    std::shared_ptr<TlsRelay> relay = fd < 0 ? nullptr : TlsRelay::start(fd, role, identity(name));
    if (session)
        *session = relay;
    const int plain = relay ? relay->takePlainEnd() : -1;
    return plain >= 0 && (socket->setSocketDescriptor(plain) || ::close(plain) < 0);
}

// Connects `socket` to `port` at `address` inside TLS, showing the identity of `name`.
inline bool connect(QTcpSocket *socket, quint16 port, const QString &name,
                    const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                    std::shared_ptr<TlsRelay> *session = nullptr)
{
    QTcpSocket tcp;
    tcp.connectToHost(address, port);
    return tcp.waitForConnected(10000) &&
           wrap(socket, &tcp, TlsChannel::Role::Client, name, session);
}

} // namespace TlsPeer

#endif // TLSPEER_H
