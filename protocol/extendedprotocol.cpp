#include "protocol/extendedprotocol.h"

#include "protocol/decimal.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"

namespace {

// The fields of a line split at single spaces; an empty field (two spaces, or one at an end)
// makes the line no line of ours.
bool splitFields(const QByteArray &line, QList<QByteArray> *fields)
{
    *fields = line.split(' ');
    for (const QByteArray &field : qAsConst(*fields)) {
        if (field.isEmpty())
            return false;
    }
    return true;
}

// A reason read back: UTF-8 that survives the round trip, and nothing a line could not carry.
bool readReason(const QByteArray &bytes, QString *reason)
{
    if (bytes.size() > ExtendedProtocol::maxReasonBytes || bytes.contains('\r') ||
        bytes.contains('\0'))
        return false;
    *reason = QString::fromUtf8(bytes);
    return reason->toUtf8() == bytes;
}

// The line at the start of `bytes`, without its "\n": 0 while it is not whole, -1 when it is
// longer than any line of ours, else its length plus one.
int lineAt(const QByteArray &bytes, int from, QByteArray *line)
{
    const int end = bytes.indexOf('\n', from);
    if (end < 0)
        return bytes.size() - from > ExtendedProtocol::maxLineBytes ? -1 : 0;
    if (end - from > ExtendedProtocol::maxLineBytes)
        return -1;
    *line = bytes.mid(from, end - from);
    return end - from + 1;
}

int takeNeedHashes(const QByteArray &bytes, int taken, qint64 count, int items,
                   ExtendedProtocol::Message *message)
{
    QVector<int> indexes;
    qint64 previous = -1;
    for (qint64 i = 0; i < count; ++i) {
        QByteArray line;
        const int length = lineAt(bytes, taken, &line);
        if (length <= 0)
            return length;
        qint64 index = 0;
        if (!Decimal::parse(line, &index, items - 1) || index <= previous)
            return -1;
        previous = index;
        indexes.append(int(index));
        taken += length;
    }
    message->kind = ExtendedProtocol::Message::NeedHashes;
    message->indexes = indexes;
    return taken;
}

// A header field's value as it may travel: no line break and no colon.
QByteArray fieldValue(QString value)
{
    return value.remove(QLatin1Char('\r'))
        .remove(QLatin1Char('\n'))
        .remove(QLatin1Char(':'))
        .toUtf8();
}

// Exactly 32 bytes as 64 lower-case hex digits: a nonce or a commitment.
bool fromHex(const QByteArray &hex, QByteArray *bytes)
{
    constexpr int size = 32;
    if (hex.size() != 2 * size)
        return false;
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    *bytes = QByteArray::fromHex(hex);
    return true;
}

} // namespace

QByteArray ExtendedProtocol::request(const TransferRequest &plain, const QString &senderId,
                                     const QByteArray &commitment, const QString &knownReceiver,
                                     const QByteArray &manifest)
{
    QByteArray bytes = plain.toUtf8();
    bytes.chop(2); // the empty line comes after the fields of our own
    bytes += "Nubo-Sender-Id: " + fieldValue(senderId) + "\r\nNubo-Pairing: " + commitment.toHex() +
             "\r\n";
    if (!knownReceiver.isEmpty())
        bytes += "Nubo-Known: " + fieldValue(knownReceiver) + "\r\n";
    bytes += "Manifest-Length: " + QByteArray::number(manifest.size()) + "\r\n\r\n";
    return bytes + manifest;
}

bool ExtendedProtocol::parsePairingFields(const QMap<QString, QString> &fields,
                                          QByteArray *commitment, QString *knownReceiver)
{
    *knownReceiver = fields.value(QStringLiteral("Nubo-Known"));
    return fromHex(fields.value(QStringLiteral("Nubo-Pairing")).toLatin1(), commitment);
}

QByteArray ExtendedProtocol::receiverNonce(const QByteArray &nonce)
{
    return "R " + nonce.toHex() + '\n';
}

QByteArray ExtendedProtocol::senderNonce(const QByteArray &nonce)
{
    return "S " + nonce.toHex() + '\n';
}

int ExtendedProtocol::takeSenderNonce(const QByteArray &bytes, QByteArray *nonce)
{
    QByteArray line;
    const int length = lineAt(bytes, 0, &line);
    if (length <= 0)
        return length;
    return line.startsWith("S ") && fromHex(line.mid(2), nonce) ? length : -1;
}

bool ExtendedProtocol::parseRequestFields(const QMap<QString, QString> &fields, QString *senderId,
                                          qint64 *manifestLength, qint64 manifestLimit)
{
    *senderId = fields.value(QStringLiteral("Nubo-Sender-Id"));
    return !senderId->isEmpty() &&
           Decimal::parse(fields.value(QStringLiteral("Manifest-Length")), manifestLength,
                          manifestLimit) &&
           *manifestLength > 0;
}

QByteArray ExtendedProtocol::planning(qint64 done, qint64 total)
{
    return "W " + QByteArray::number(done) + ' ' + QByteArray::number(total) + '\n';
}

QByteArray ExtendedProtocol::needHashes(const QVector<int> &indexes)
{
    QByteArray bytes = "C " + QByteArray::number(indexes.size()) + '\n';
    for (const int index : indexes)
        bytes += QByteArray::number(index) + '\n';
    return bytes;
}

QByteArray ExtendedProtocol::accept(const QByteArray &plan)
{
    return "Y " + QByteArray::number(plan.size()) + '\n' + plan;
}

QByteArray ExtendedProtocol::refuse(const QString &reason)
{
    return "N " + reasonBytes(reason) + '\n';
}

QByteArray ExtendedProtocol::failed(const QString &reason)
{
    return "X " + reasonBytes(reason) + '\n';
}

QByteArray ExtendedProtocol::reasonBytes(const QString &reason)
{
    QString text = reason;
    for (QChar &c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            c = QLatin1Char(' ');
    }
    QByteArray bytes = text.toUtf8();
    while (bytes.size() > maxReasonBytes) {
        text.chop(text.size() > 1 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
        bytes = text.toUtf8();
    }
    return bytes;
}

int ExtendedProtocol::takeMessage(const QByteArray &bytes, int items, Message *message)
{
    QByteArray line;
    const int length = lineAt(bytes, 0, &line);
    if (length <= 0)
        return length;
    if (line == "A") {
        message->kind = Message::Asking;
        return length;
    }
    if (line.startsWith("R ")) {
        message->kind = Message::Pairing;
        return fromHex(line.mid(2), &message->nonce) ? length : -1;
    }
    if (line.startsWith("N ")) {
        message->kind = Message::Refused;
        return readReason(line.mid(2), &message->reason) ? length : -1;
    }
    QList<QByteArray> fields;
    if (!splitFields(line, &fields))
        return -1;
    const QByteArray &kind = fields.at(0);
    qint64 first = 0;
    qint64 second = 0;
    if (kind == "W" && fields.size() == 3 && Decimal::parse(fields.at(1), &first) &&
        Decimal::parse(fields.at(2), &second) && first <= second) {
        message->kind = Message::Planning;
        message->done = first;
        message->total = second;
        return length;
    }
    if (kind == "C" && fields.size() == 2 && Decimal::parse(fields.at(1), &first, items) &&
        first > 0)
        return takeNeedHashes(bytes, length, first, items, message);
    const qint64 planLimit = qint64(items) * TransferPlan::maxLineBytes;
    if (kind == "Y" && fields.size() == 2 && Decimal::parse(fields.at(1), &first, planLimit)) {
        if (bytes.size() - length < first)
            return 0;
        message->kind = Message::Accepted;
        message->plan = bytes.mid(length, int(first));
        return length + int(first);
    }
    return -1;
}

QByteArray ExtendedProtocol::hashAnswer(int index, const ContentHash::Value &hash)
{
    return QByteArray::number(index) + ' ' + hash.toHex() + '\n';
}

int ExtendedProtocol::takeHashAnswer(const QByteArray &bytes, int *index, ContentHash::Value *hash)
{
    QByteArray line;
    const int length = lineAt(bytes, 0, &line);
    if (length <= 0)
        return length;
    if (line == "W") {
        *index = -1;
        return length;
    }
    QList<QByteArray> fields;
    qint64 number = 0;
    if (!splitFields(line, &fields) || fields.size() != 2 ||
        !Decimal::parse(fields.at(0), &number, Manifest::maxItems) ||
        !ContentHash::Value::fromHex(fields.at(1), hash))
        return -1;
    *index = int(number);
    return length;
}

QByteArray ExtendedProtocol::partLine(int index, qint64 offset)
{
    return "P " + QByteArray::number(index) + ' ' + QByteArray::number(offset) + '\n';
}

QByteArray ExtendedProtocol::hashLine(const ContentHash::Value &hash)
{
    return "H " + hash.toHex() + '\n';
}

ExtendedProtocol::End ExtendedProtocol::parseEnd(const QByteArray &bytes, QString *reason)
{
    QByteArray line;
    const int length = lineAt(bytes, 0, &line);
    if (length == 0)
        return EndIncomplete;
    // Nothing follows the last word.
    if (length < 0 || length != bytes.size())
        return EndInvalid;
    if (line == "K")
        return EndDone;
    if (line.startsWith("X ") && readReason(line.mid(2), reason))
        return EndFailed;
    return EndInvalid;
}
