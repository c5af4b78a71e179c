#ifndef HASHCACHE_H
#define HASHCACHE_H

#include "protocol/contenthash.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <mutex>

class QFileInfo;

// Content hashes of files hashed before, by path, size and modification time, so that sending or
// checking an unchanged tree again reads no contents. Kept in a file of the working folder and
// shared by every thread of the program; a file whose size or time differs is hashed again.
class HashCache
{
public:
    // Entries beyond this are dropped when the cache is saved, the oldest first.
    static constexpr int maxEntries = 500000;

    explicit HashCache(const QString &fileName);

    // The cache in the working folder's "hashes", read at the first use.
    static HashCache &shared();
    static QString fileName() { return QStringLiteral("hashes"); }

    // The hash of the file `info` names, from the cache when its size and time are the ones
    // remembered, else read and remembered. False when it cannot be read or `cancelled` was set.
    bool hashOf(const QFileInfo &info, ContentHash::Value *hash,
                const std::atomic<bool> *cancelled = nullptr);
    bool lookup(const QString &path, qint64 size, qint64 modified, ContentHash::Value *hash);
    void store(const QString &path, qint64 size, qint64 modified, const ContentHash::Value &hash);
    // Writes the cache if it changed since it was read; an entry replaced whole, never half.
    void save();

    // The modification time in nanoseconds since the epoch, as the cache compares it.
    static qint64 modified(const QString &path);
    // Size and modification time of a plain file, read in one step; false for anything else (a
    // link among them) or nothing.
    static bool plainFile(const QString &path, qint64 *size, qint64 *modified);

private:
    struct Entry
    {
        qint64 size = 0;
        qint64 modified = 0;
        ContentHash::Value hash;
        quint64 used = 0; // for dropping the oldest
    };

    void load();

    const QString path;
    std::mutex mutex;
    bool loaded = false;
    bool changed = false;
    quint64 uses = 0;
    QHash<QString, Entry> entries;
};

#endif // HASHCACHE_H
