#ifndef PARTIALREGISTRY_H
#define PARTIALREGISTRY_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"

#include <QList>
#include <QMetaType>
#include <QString>

// The partial files that cut extended transfers left beside their final paths, listed in the
// working folder's "partials" with what recognises them: the sender's id, the item's name, its
// size and hash. The next transfer of that item from that sender continues the file. The list is
// written whole under a new name and then renamed, so a crash leaves the old list or the new one.
class PartialRegistry
{
public:
    struct Entry
    {
        QString senderId;
        QString item;
        qint64 size = 0;
        quint64 version = 0;
        bool hasHash = false;
        ContentHash::Value hash;
        QString finalPath;
        qint64 time = 0; // milliseconds since the epoch when it was kept
        qint64 kept = 0; // bytes in its partial file, as last looked at
        // The last offset its hash state was saved at, and that state: where it can go on.
        qint64 saved = 0;
        QByteArray state;
    };

    static constexpr qint64 maxAgeMs = qint64(7) * 24 * 60 * 60 * 1000;
    static constexpr qint64 maxTotalBytes = Q_INT64_C(10000000000); // 10 GB, as sizes are shown

    explicit PartialRegistry(const QString &fileName = defaultFileName());
    static QString defaultFileName() { return QStringLiteral("partials"); }

    void load();
    bool save();

    // The entry that can continue that item from that sender: same name and size, same version
    // or same known hash, and a saved state short of its end.
    const Entry *find(const QString &senderId, const Manifest::Item &item) const;
    // Replaces an entry of the same final path.
    void put(const Entry &entry);
    void remove(const QString &finalPath);
    // Drops entries whose partial files are gone, and removes the partial files older than
    // maxAgeMs at `now`, and then the oldest until the rest take at most `maxTotal` bytes.
    void clean(qint64 now, qint64 maxTotal = maxTotalBytes);

    QList<Entry> entries() const { return list; }

private:
    QString path;
    QList<Entry> list;
    bool changed = false;
};

Q_DECLARE_METATYPE(PartialRegistry::Entry)

#endif // PARTIALREGISTRY_H
