#include "protocol/extendedprotocol.h"

#include "protocol/manifest.h"
#include "protocol/transferreply.h"

#include <QHostAddress>

namespace {

const QByteArray announcementPrefix = QByteArrayLiteral("nubo-ext:1:");
const QByteArray acceptLine = QByteArrayLiteral("NUBOEXT/1 200 OK\r\n");
const QByteArray planField = QByteArrayLiteral("Plan-Length: ");

bool parseDigits(const QString &text, qint64 *value, qint64 limit)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *value = text.toLongLong();
    return *value <= limit;
}

} // namespace

QByteArray ExtendedProtocol::announcement(const QString &address, quint16 port)
{
    return announcementPrefix + address.toLatin1() + ':' + QByteArray::number(port);
}

bool ExtendedProtocol::parseAnnouncement(const QByteArray &datagram, QString *address,
                                         quint16 *port)
{
    if (!datagram.startsWith(announcementPrefix))
        return false;
    const QByteArray rest = datagram.mid(announcementPrefix.size());
    const int colon = rest.lastIndexOf(':');
    if (colon < 0)
        return false;
    const QHostAddress host(QString::fromLatin1(rest.left(colon)));
    qint64 number = 0;
    if (host.protocol() != QAbstractSocket::IPv4Protocol ||
        !parseDigits(QString::fromLatin1(rest.mid(colon + 1)), &number, 65535) || number == 0)
        return false;
    *address = host.toString();
    *port = quint16(number);
    return true;
}

QByteArray ExtendedProtocol::request(const TransferRequest &plain, const QString &senderId,
                                     const QByteArray &manifest)
{
    QByteArray bytes = plain.toUtf8();
    bytes.chop(2); // the empty line comes after the fields of our own
    QString id = senderId;
    id.remove(QLatin1Char('\r')).remove(QLatin1Char('\n')).remove(QLatin1Char(':'));
    bytes += "Nubo-Sender-Id: " + id.toUtf8() +
             "\r\nManifest-Length: " + QByteArray::number(manifest.size()) + "\r\n\r\n";
    return bytes + manifest;
}

bool ExtendedProtocol::parseRequestFields(const QMap<QString, QString> &fields, QString *senderId,
                                          qint64 *manifestLength)
{
    *senderId = fields.value(QStringLiteral("Nubo-Sender-Id"));
    return !senderId->isEmpty() &&
           parseDigits(fields.value(QStringLiteral("Manifest-Length")), manifestLength,
                       Manifest::maxBytes) &&
           *manifestLength > 0;
}

QByteArray ExtendedProtocol::accept(const QByteArray &plan)
{
    return acceptLine + planField + QByteArray::number(plan.size()) + "\r\n\r\n" + plan;
}

ExtendedProtocol::Reply ExtendedProtocol::parseReply(const QByteArray &bytes, QByteArray *plan)
{
    const QByteArray refusal = TransferReply::refusal();
    if (bytes.startsWith(refusal))
        return ReplyRefused;
    if (refusal.startsWith(bytes) && !acceptLine.startsWith(bytes))
        return ReplyIncomplete;
    const int end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return bytes.size() > maxHeaderBytes ||
                       (!bytes.startsWith(acceptLine) && !acceptLine.startsWith(bytes))
                   ? ReplyInvalid
                   : ReplyIncomplete;
    const QByteArray header = bytes.left(end + 2);
    const int field = header.indexOf("\r\n" + planField);
    if (!header.startsWith(acceptLine) || field < 0)
        return ReplyInvalid;
    const int valueStart = field + 2 + planField.size();
    qint64 length = 0;
    if (!parseDigits(QString::fromLatin1(
                         header.mid(valueStart, header.indexOf("\r\n", valueStart) - valueStart)),
                     &length, Manifest::maxBytes))
        return ReplyInvalid;
    if (bytes.size() - (end + 4) < length)
        return ReplyIncomplete;
    *plan = bytes.mid(end + 4, int(length));
    return ReplyAccepted;
}

QByteArray ExtendedProtocol::partLine(int index, qint64 offset)
{
    return "P " + QByteArray::number(index) + ' ' + QByteArray::number(offset) + '\n';
}
