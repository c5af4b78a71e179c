#include "protocol/announcement.h"

#include "protocol/decimal.h"
#include "protocol/presencelist.h"

#include <QList>

namespace {

const QByteArray prefix = QByteArrayLiteral("nubo-ext:3:");

} // namespace

QByteArray Announcement::make(const QString &address, quint16 port, const Fingerprint &fingerprint)
{
    const QByteArray bytes = prefix + address.toLatin1() + ':' + QByteArray::number(port);
    return fingerprint.isNull() ? bytes : bytes + ':' + fingerprint.hex().toLatin1();
}

bool Announcement::parse(const QByteArray &datagram, QString *address, quint16 *port,
                         Fingerprint *fingerprint)
{
    if (!datagram.startsWith(prefix))
        return false;
    const QList<QByteArray> fields = datagram.mid(prefix.size()).split(':');
    if (fields.size() != 2 && fields.size() != 3)
        return false;
    // Qt 5 reads Latin-1 only up to a NUL: the whole field, or not an address.
    const QString text = QString::fromLatin1(fields.at(0).constData(), fields.at(0).size());
    qint64 number = 0;
    const Fingerprint named =
        fields.size() == 3 ? Fingerprint::fromHex(fields.at(2)) : Fingerprint();
    if (!PresenceList::isHostIPv4(text) || !Decimal::parse(fields.at(1), &number, 65535) ||
        number == 0 || (fields.size() == 3 && named.isNull()))
        return false;
    *address = text;
    *port = quint16(number);
    *fingerprint = named;
    return true;
}
