#include "protocol/manifest.h"

#include "protocol/decimal.h"
#include "protocol/itemname.h"

#include <QSet>

#include <limits>

namespace {

bool parseVersion(const QByteArray &hex, quint64 *version)
{
    if (hex.size() != 16)
        return false;
    quint64 value = 0;
    for (const char c : hex) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | quint64(digit);
    }
    *version = value;
    return true;
}

bool failWith(Manifest::Error error, int line, Manifest::Error *errorOut, int *lineOut)
{
    if (errorOut)
        *errorOut = error;
    if (lineOut)
        *lineOut = line;
    return false;
}

} // namespace

QByteArray Manifest::versionHex(quint64 version)
{
    return QByteArray::number(version, 16).rightJustified(16, '0');
}

QByteArray Manifest::toBytes() const
{
    QByteArray bytes;
    for (const Item &item : items) {
        if (item.isFile)
            bytes += "F " + QByteArray::number(item.size) + ' ' + versionHex(item.version) + ' ' +
                     (item.hasHash ? item.hash.toHex() : QByteArrayLiteral("-")) + ' ';
        else
            bytes += "D ";
        bytes += item.name.toUtf8() + '\n';
    }
    return bytes;
}

bool Manifest::parse(const QByteArray &bytes, Manifest *manifest, Error *error, int *line)
{
    if (error)
        *error = NoError;
    if (line)
        *line = 0;
    if (bytes.size() > maxBytes)
        return failWith(TooLarge, 0, error, line);
    if (bytes.isEmpty())
        return failWith(Empty, 0, error, line);
    if (!bytes.endsWith('\n'))
        return failWith(Unended, bytes.count('\n') + 1, error, line);

    Manifest parsed;
    QSet<QString> names;
    qint64 total = 0;
    int number = 0;
    int start = 0;
    while (start < bytes.size()) {
        ++number;
        if (number > maxItems)
            return failWith(TooLarge, number, error, line);
        const int end = bytes.indexOf('\n', start);
        const QByteArray text = bytes.mid(start, end - start);
        start = end + 1;
        Item item;
        QByteArray name;
        if (text.startsWith("D ")) {
            name = text.mid(2);
        } else if (text.startsWith("F ")) {
            item.isFile = true;
            const QList<QByteArray> fields = text.split(' ');
            if (fields.size() < 2 || !Decimal::parse(fields.at(1), &item.size))
                return failWith(BadSize, number, error, line);
            if (fields.size() < 3 || !parseVersion(fields.at(2), &item.version))
                return failWith(BadVersion, number, error, line);
            item.hasHash = fields.size() > 3 && fields.at(3) != "-";
            if (fields.size() < 5 ||
                (item.hasHash && !ContentHash::Value::fromHex(fields.at(3), &item.hash)))
                return failWith(BadHash, number, error, line);
            name = text.mid(fields.at(1).size() + fields.at(2).size() + fields.at(3).size() + 5);
            if (item.size > std::numeric_limits<qint64>::max() - total)
                return failWith(BadTotal, number, error, line);
            total += item.size;
        } else {
            return failWith(BadKind, number, error, line);
        }
        item.name = QString::fromUtf8(name);
        // A name that is not UTF-8 would not come back as the same bytes.
        if (!ItemName::isValid(item.name) || item.name.toUtf8() != name)
            return failWith(BadName, number, error, line);
        if (names.contains(item.name))
            return failWith(Duplicate, number, error, line);
        names.insert(item.name);
        parsed.items.append(item);
    }
    *manifest = parsed;
    return true;
}

qint64 Manifest::totalSize() const
{
    qint64 total = 0;
    for (const Item &item : items)
        total += item.isFile ? item.size : 0;
    return total;
}
