#ifndef MANIFEST_H
#define MANIFEST_H

#include "protocol/contenthash.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What an extended request lists of its items, in sending order, before any contents: each
// item's kind and name, and for a file its size and content hash. One line per item, in UTF-8:
//
//   "D <name>\n"                      a folder
//   "F <size> <32 hex digits> <name>\n" a file
//
// The name comes last and may hold spaces; it follows the item stream's rules for names.
class Manifest
{
public:
    struct Item
    {
        QString name;
        bool isFile = false;
        qint64 size = 0;
        ContentHash::Value hash;
    };

    enum Error {
        NoError,
        Empty,     // no item
        TooLarge,  // more items or bytes than any real transfer has
        Unended,   // the last line has no line end
        BadKind,   // a line that begins with neither "D " nor "F "
        BadSize,   // a size that is no decimal number, or one above 2^63 - 1
        BadHash,   // not 32 lowercase hexadecimal digits
        BadName,   // an empty name, one with CR, LF, NUL or white space at an end, or "OVER"
        Duplicate, // the same name twice
        BadTotal   // the sizes overflow when added up
    };

    static constexpr int maxItems = 1000000;
    static constexpr int maxBytes = 256 * 1024 * 1024;

    QList<Item> items;

    QByteArray toBytes() const;
    // The items of `bytes`; on any fault `error` says which, and `line` (from 1) where.
    static bool parse(const QByteArray &bytes, Manifest *manifest, Error *error = nullptr,
                      int *line = nullptr);

    qint64 totalSize() const;
};

#endif // MANIFEST_H
