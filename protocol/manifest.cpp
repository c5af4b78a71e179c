#include "protocol/manifest.h"

#include "protocol/decimal.h"
#include "protocol/itemname.h"

#include <QSet>

#include <algorithm>
#include <cstring>
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

// The field of a line that begins at `*at`, up to the next space or the line's end; `*at` moves
// past that space, or to -1 when the line ends there.
QByteArray fieldAt(const char *text, int length, int *at)
{
    const char *from = text + *at;
    const auto *space = static_cast<const char *>(memchr(from, ' ', size_t(length - *at)));
    const int end = space ? int(space - text) : length;
    const QByteArray field = QByteArray::fromRawData(from, end - *at);
    *at = space ? end + 1 : -1;
    return field;
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
    const int lines = qMin(bytes.count('\n'), maxItems);
    parsed.items.reserve(lines);
    QSet<QString> names;
    names.reserve(lines);
    qint64 total = 0;
    int number = 0;
    for (int start = 0; start < bytes.size();) {
        ++number;
        if (number > maxItems)
            return failWith(TooLarge, number, error, line);
        const int end = bytes.indexOf('\n', start);
        Item item;
        const Error fault = readLine(bytes.constData() + start, end - start, total, &item);
        start = end + 1;
        if (fault != NoError)
            return failWith(fault, number, error, line);
        const int known = names.size();
        names.insert(item.name);
        if (names.size() == known)
            return failWith(Duplicate, number, error, line);
        total += item.size;
        parsed.items.append(std::move(item));
    }
    *manifest = std::move(parsed);
    return true;
}

// One line without its line end, read in place; `total` is what the lines before add up to.
Manifest::Error Manifest::readLine(const char *text, int length, qint64 total, Item *item)
{
    QByteArray name;
    if (length >= 2 && text[0] == 'D' && text[1] == ' ') {
        name = QByteArray::fromRawData(text + 2, length - 2);
    } else if (length >= 2 && text[0] == 'F' && text[1] == ' ') {
        item->isFile = true;
        int at = 2;
        const QByteArray size = fieldAt(text, length, &at);
        if (!Decimal::parse(size, &item->size))
            return BadSize;
        if (at < 0 || !parseVersion(fieldAt(text, length, &at), &item->version))
            return BadVersion;
        const QByteArray hash = at < 0 ? QByteArray() : fieldAt(text, length, &at);
        item->hasHash = hash != "-";
        if (at < 0 || (item->hasHash && !ContentHash::Value::fromHex(hash, &item->hash)))
            return BadHash;
        name = QByteArray::fromRawData(text + at, length - at);
        if (item->size > std::numeric_limits<qint64>::max() - total)
            return BadTotal;
    } else {
        return BadKind;
    }
    // A name that is not UTF-8 would not come back as the same bytes; plain ASCII always does.
    const bool ascii =
        std::all_of(name.cbegin(), name.cend(), [](char c) { return uchar(c) < 0x80; });
    // With its length: the QByteArray forms would stop at a NUL, which the name rule refuses.
    item->name = ascii ? QString::fromLatin1(name.constData(), name.size())
                       : QString::fromUtf8(name.constData(), name.size());
    if (!ItemName::isValid(item->name) || (!ascii && item->name.toUtf8() != name))
        return BadName;
    return NoError;
}

qint64 Manifest::totalSize() const
{
    qint64 total = 0;
    for (const Item &item : items)
        total += item.isFile ? item.size : 0;
    return total;
}
