#ifndef MANIFEST_H
#define MANIFEST_H

#include "protocol/contenthash.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What an extended request lists of its items, in sending order, before any contents: each
// item's kind and name, and for a file its size, its version and, when the sender knows it
// without reading the file, its content hash. One line per item, in UTF-8:
//
//   "D <name>\n"                                   a folder
//   "F <size> <version> <hash> <name>\n"           a file
//
// <size> is read by Decimal; <version> is 16 lowercase hexadecimal digits that change whenever the
// sender's file is written to; <hash> is 32 lowercase hexadecimal digits, or "-" when the sender
// has not read the file yet. The name comes last and may hold spaces; ItemName says which names
// may travel.
class Manifest
{
public:
    struct Item
    {
        QString name;
        bool isFile = false;
        qint64 size = 0;
        quint64 version = 0;
        bool hasHash = false;
        ContentHash::Value hash;
    };

    enum Error {
        NoError,
        Empty,      // no item
        TooLarge,   // more items or bytes than any real transfer has
        Unended,    // the last line has no line end
        BadKind,    // a line that begins with neither "D " nor "F "
        BadSize,    // a size that is no decimal number, or one above 2^63 - 1
        BadVersion, // not 16 lowercase hexadecimal digits
        BadHash,    // neither 32 lowercase hexadecimal digits nor "-"
        BadName,    // an empty name, one with CR, LF, NUL or white space at an end, or "OVER"
        Duplicate,  // the same name twice
        BadTotal    // the sizes overflow when added up
    };

    static constexpr int maxItems = 1000000;
    static constexpr int maxBytes = 256 * 1024 * 1024;
    // What a request of `items` items may send as its manifest: a peer holds memory before its
    // user is asked only in proportion to what it offers.
    static constexpr qint64 bytesPerItem = 512;
    static qint64 byteLimit(qint64 items)
    {
        return qMin<qint64>(maxBytes, 4096 + qMax<qint64>(items, 0) * bytesPerItem);
    }
    // The version as it travels.
    static QByteArray versionHex(quint64 version);

    QVector<Item> items;

    QByteArray toBytes() const;
    // The items of `bytes`; on any fault `error` says which, and `line` (from 1) where.
    static bool parse(const QByteArray &bytes, Manifest *manifest, Error *error = nullptr,
                      int *line = nullptr);

    qint64 totalSize() const;

private:
    static Error readLine(const char *text, int length, qint64 total, Item *item);
};

#endif // MANIFEST_H
