#ifndef HASHCACHE_H
#define HASHCACHE_H

#include "protocol/contenthash.h"
#include "records/fileidentity.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <mutex>
#include <optional>

class RecordStore;

// Content hashes of files hashed before, so that sending or checking an unchanged tree again
// reads no contents. An entry holds for the file's whole identity (size, both times, inode and
// device): a file rewritten in place is hashed again even when its modification time was set
// back. Kept in the record store; any thread may use it.
class HashCache
{
public:
    // Entries beyond this are dropped when the cache is saved, the least recently used first.
    static constexpr int defaultMaxEntries = 500000;

    explicit HashCache(RecordStore &store, int maxEntries = defaultMaxEntries);

    // The cache in the working folder's store.
    static HashCache &shared();

    // The hash of the plain file at `path`: from the cache when its identity is the one
    // remembered, else read and remembered. False when it is no plain file, cannot be read or
    // `cancelled` was set. `identity`, when given, is the one the hash belongs to.
    bool hashOf(const QString &path, ContentHash::Value *hash,
                const std::atomic<bool> *cancelled = nullptr, FileIdentity *identity = nullptr);
    bool lookup(const QString &path, const FileIdentity &identity, ContentHash::Value *hash);

    struct Record
    {
        FileIdentity identity;
        ContentHash::Value hash;
        qint64 use = 0;
    };
    using Records = QHash<QString, Record>;
    // The same for many files; `names` are their paths below where they were dropped or are
    // received ("folder/sub/file"), so that the records of each such folder are read in one go
    // rather than file by file. An entry stays empty where lookup() would have said false.
    QVector<std::optional<ContentHash::Value>> lookupMany(const QStringList &paths,
                                                          const QStringList &names,
                                                          const QVector<FileIdentity> &identities);
    // lookupMany() in two steps, so that the records can be read while the files are looked at:
    // what it consults for these files, by path, and then the hashes it would give. `readBefore`
    // holds the records below `folderRead`, read with recordsUnder(): that folder is not read
    // again, and its files need not be among `paths`. However many records the folders hold,
    // at most rowBudget(paths) are read in one go; the files of a folder that holds more are
    // looked up one by one, as a peer's few files must not make us hold a large folder's records.
    Records recordsOf(const QStringList &paths, const QStringList &names,
                      Records readBefore = Records(), const QString &folderRead = QString());
    static qint64 rowBudget(qint64 files) { return 2 * files + 1024; }
    // The records of every path below `folder`, as written down; none when there are more than
    // rowBudget(files).
    std::optional<Records> recordsUnder(const QString &folder, qint64 files);
    QVector<std::optional<ContentHash::Value>>
    pick(const Records &records, const QStringList &paths, const QVector<FileIdentity> &identities);
    void store(const QString &path, const FileIdentity &identity, const ContentHash::Value &hash);
    // Writes down the hashes stored and which entries were used since, and drops the least
    // recently used beyond the maximum. Done by itself every few thousand changes.
    void save();

private:
    qint64 lastUseLocked();
    qint64 nextUse();
    bool touchesLocked(const QString &path, qint64 lastUse);
    bool readUnder(const QString &folder, Records *found, qint64 *budget);
    void readOne(const QString &path, Records *found);

    RecordStore &records;
    const int maxEntries;
    std::mutex mutex;
    qint64 uses = -1; // the last use number given; read from the store at the first
    QHash<QString, qint64> touched;
    QHash<QString, Record> waiting; // stored, not yet written down
};

#endif // HASHCACHE_H
