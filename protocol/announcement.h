#ifndef ANNOUNCEMENT_H
#define ANNOUNCEMENT_H

#include "security/fingerprint.h"

#include <QByteArray>
#include <QString>

// The extended announcement that also names the receiving installation:
// "nubo-ext:3:<IPv4 address>:<port>:<fingerprint hex>". The fingerprint only says whom to expect;
// the connection proves it, so a sender may show a receiver as known before it connects, but
// trusts nothing until then.
class Announcement
{
public:
    // Empty for a null fingerprint: there is nothing to announce without one.
    static QByteArray make(const QString &address, quint16 port, const Fingerprint &fingerprint);
    // Only the exact form make() writes: the address as QHostAddress writes it, a port of 1 to
    // 65535 without leading zeros, and the fingerprint's 64 lower-case hex digits.
    static bool parse(const QByteArray &datagram, QString *address, quint16 *port,
                      Fingerprint *fingerprint);
};

#endif // ANNOUNCEMENT_H
