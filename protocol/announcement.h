#ifndef ANNOUNCEMENT_H
#define ANNOUNCEMENT_H

#include "security/fingerprint.h"

#include <QByteArray>
#include <QString>

// The extended announcement, which a receiver sends on ExtendedProtocol::udpPort:
// "nubo-ext:3:<IPv4 address>:<port>:<fingerprint hex>", or without ":<fingerprint hex>" from an
// installation whose identity cannot be used. The fingerprint only says whom to expect; the
// connection proves it, so a sender may show a receiver as known before it connects, but trusts
// nothing until then.
class Announcement
{
public:
    // Without the fingerprint's field for a null fingerprint.
    static QByteArray make(const QString &address, quint16 port, const Fingerprint &fingerprint);
    // Only the exact form make() writes: the address as QHostAddress writes it, a port of 1 to
    // 65535 without leading zeros, and the fingerprint's 64 lower-case hex digits if it is there
    // (else `fingerprint` is null).
    static bool parse(const QByteArray &datagram, QString *address, quint16 *port,
                      Fingerprint *fingerprint);
};

#endif // ANNOUNCEMENT_H
