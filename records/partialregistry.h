#ifndef PARTIALREGISTRY_H
#define PARTIALREGISTRY_H

#include "protocol/contenthash.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

class RecordStore;

// The partial files of extended transfers, with what recognises them: the sender's id, the
// item's name, its size, version and hash. An entry is made before the first byte of its file is
// written, and carries the hash state at the last offset saved, so that a transfer cut or killed
// at any moment leaves a file that the next one from that sender continues from there.
class PartialRegistry
{
public:
    struct Entry
    {
        QString senderId;
        QString item;
        qint64 size = 0;
        quint64 version = 0; // 0: not known
        std::optional<ContentHash::Value> hash;
        QString finalPath;
        qint64 time = 0;  // milliseconds since the epoch when it was made or last advanced
        qint64 kept = 0;  // bytes of the partial file that `state` covers
        QByteArray state; // ContentHash::saveState() at `kept`; empty when none was saved
    };

    static constexpr qint64 maxAgeMs = qint64(7) * 24 * 60 * 60 * 1000;
    static constexpr qint64 maxTotalBytes = Q_INT64_C(10000000000); // 10 GB, as sizes are shown

    // Without a store, the working folder's, looked up at the first use.
    explicit PartialRegistry(RecordStore *store = nullptr);

    // Where the partial file of `finalPath` is written.
    static QString partialPathOf(const QString &finalPath);

    // Registers a file, replacing an entry of the same final path.
    bool add(const Entry &entry);
    // The partial file holds `state.bytes()` bytes whose hash `state` is.
    bool advance(const QString &finalPath, const ContentHash &state);
    // The file was committed or dropped.
    bool remove(const QString &finalPath);

    // The entry that can continue that item: same sender, item and size, and the same version
    // (when known) or the same hash (when known); it holds some of the file, not all.
    std::optional<Entry> find(const QString &senderId, const QString &item, qint64 size,
                              quint64 version, const std::optional<ContentHash::Value> &hash) const;
    // Every entry, the newest first.
    QList<Entry> entries() const;

    // Cuts each partial file back to the offset saved for it (a receiver killed mid-write wrote
    // beyond it), drops entries whose files are gone or hold less, and removes the partial files
    // older than maxAgeMs at `now`, then the oldest until the rest take at most `maxTotal` bytes
    // of disk (holes take none).
    void clean(qint64 now, qint64 maxTotal = maxTotalBytes);

private:
    RecordStore &records() const;

    mutable RecordStore *store;
};

Q_DECLARE_METATYPE(PartialRegistry::Entry)

#endif // PARTIALREGISTRY_H
