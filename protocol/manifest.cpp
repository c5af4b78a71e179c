#include "protocol/manifest.h"

#include <QSet>

#include <limits>

namespace {

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n') || c == QLatin1Char('\v') || c == QLatin1Char('\f');
}

// The rules of the item stream, so that an item is named alike whichever way it travels.
bool isValidName(const QString &name)
{
    if (name.isEmpty() || isSpace(name.front()) || isSpace(name.back()) ||
        name == QLatin1String("OVER"))
        return false;
    return !name.contains(QLatin1Char('\r')) && !name.contains(QLatin1Char('\n')) &&
           !name.contains(QChar(0));
}

// Decimal digits only, no sign, no more than fits in a qint64.
bool parseSize(const QByteArray &text, qint64 *size)
{
    if (text.isEmpty() || text.size() > 19 || (text.size() > 1 && text.at(0) == '0'))
        return false;
    quint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + quint64(c - '0');
    }
    if (value > quint64(std::numeric_limits<qint64>::max()))
        return false;
    *size = qint64(value);
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

QByteArray Manifest::toBytes() const
{
    QByteArray bytes;
    for (const Item &item : items) {
        if (item.isFile)
            bytes += "F " + QByteArray::number(item.size) + ' ' + item.hash.toHex() + ' ';
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
            const int sizeEnd = text.indexOf(' ', 2);
            const int hashEnd = sizeEnd < 0 ? -1 : text.indexOf(' ', sizeEnd + 1);
            if (sizeEnd < 0 || !parseSize(text.mid(2, sizeEnd - 2), &item.size))
                return failWith(BadSize, number, error, line);
            if (hashEnd < 0 || !ContentHash::Value::fromHex(
                                   text.mid(sizeEnd + 1, hashEnd - sizeEnd - 1), &item.hash))
                return failWith(BadHash, number, error, line);
            name = text.mid(hashEnd + 1);
            if (item.size > std::numeric_limits<qint64>::max() - total)
                return failWith(BadTotal, number, error, line);
            total += item.size;
        } else {
            return failWith(BadKind, number, error, line);
        }
        item.name = QString::fromUtf8(name);
        // A name that is not UTF-8 would not come back as the same bytes.
        if (!isValidName(item.name) || item.name.toUtf8() != name)
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
