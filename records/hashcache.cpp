#include "records/hashcache.h"

#include "records/filehash.h"
#include "records/recordstore.h"

#include <QVariant>

#include <map>
#include <memory>

namespace {

// Uses are written down in one transaction per this many, so that looking up costs no write.
constexpr int touchedBatch = 4096;

} // namespace

HashCache::HashCache(RecordStore &store, int maxEntries) : records(store), maxEntries(maxEntries) {}

HashCache &HashCache::shared()
{
    static std::mutex mutex;
    static std::map<RecordStore *, std::unique_ptr<HashCache>> caches;
    RecordStore &store = RecordStore::shared();
    const std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<HashCache> &cache = caches[&store];
    if (!cache)
        cache = std::make_unique<HashCache>(store);
    return *cache;
}

bool HashCache::hashOf(const QString &path, ContentHash::Value *hash,
                       const std::atomic<bool> *cancelled, FileIdentity *identity)
{
    const FileIdentity before = FileIdentity::of(path);
    if (identity)
        *identity = before;
    if (!before.isValid())
        return false;
    if (lookup(path, before, hash))
        return true;
    ContentHash contents;
    if (!FileHash::feed(&contents, path, -1, cancelled) || contents.bytes() != before.size())
        return false;
    *hash = contents.value();
    // A file that changed while it was read is not remembered.
    if (FileIdentity::of(path) == before)
        store(path, before, *hash);
    return true;
}

bool HashCache::lookup(const QString &path, const FileIdentity &identity, ContentHash::Value *hash)
{
    if (!identity.isValid())
        return false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto waits = waiting.find(path);
        if (waits != waiting.end()) {
            if (waits.value().identity != identity)
                return false;
            *hash = waits.value().hash;
            waits.value().use = nextUse();
            return true;
        }
    }
    QSqlQuery &find = records.query(
        QStringLiteral("SELECT size, modified, changed, inode, device, hash FROM hashes"
                       " WHERE path = ?"));
    find.addBindValue(path);
    if (!find.exec() || !find.next())
        return false;
    const FileIdentity remembered(find.value(0).toLongLong(), find.value(1).toLongLong(),
                                  find.value(2).toLongLong(), quint64(find.value(3).toLongLong()),
                                  quint64(find.value(4).toLongLong()));
    ContentHash::Value value;
    const bool known = ContentHash::Value::fromHex(find.value(5).toByteArray(), &value);
    find.finish();
    if (remembered != identity || !known)
        return false;
    *hash = value;
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        touched.insert(path, nextUse());
        full = touched.size() >= touchedBatch;
    }
    if (full)
        save();
    return true;
}

// Stores wait in memory for the next batch, so that hashing or receiving many small files costs
// no transaction each; losing the last few to a crash only means hashing those again.
void HashCache::store(const QString &path, const FileIdentity &identity,
                      const ContentHash::Value &hash)
{
    if (!identity.isValid())
        return;
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        touched.remove(path);
        waiting.insert(path, Stored{identity, hash, nextUse()});
        full = waiting.size() >= touchedBatch;
    }
    if (full)
        save();
}

void HashCache::save()
{
    QHash<QString, qint64> uses;
    QHash<QString, Stored> stores;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        uses.swap(touched);
        stores.swap(waiting);
    }
    records.write([&] {
        QSqlQuery &put = records.query(
            QStringLiteral("INSERT OR REPLACE INTO hashes"
                           " (path, size, modified, changed, inode, device, hash, used)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
        for (auto it = stores.cbegin(); it != stores.cend(); ++it) {
            const FileIdentity &identity = it.value().identity;
            for (const QVariant &value :
                 {QVariant(it.key()), QVariant(identity.size()), QVariant(identity.modified()),
                  QVariant(identity.changed()), QVariant(qint64(identity.inode())),
                  QVariant(qint64(identity.device())),
                  QVariant(QString::fromLatin1(it.value().hash.toHex())), QVariant(it.value().use)})
                put.addBindValue(value);
            if (!put.exec())
                return false;
        }
        QSqlQuery &touch =
            records.query(QStringLiteral("UPDATE hashes SET used = ? WHERE path = ?"));
        for (auto it = uses.cbegin(); it != uses.cend(); ++it) {
            touch.addBindValue(it.value());
            touch.addBindValue(it.key());
            if (!touch.exec())
                return false;
        }
        QSqlQuery &trim = records.query(
            QStringLiteral("DELETE FROM hashes WHERE used <"
                           " (SELECT used FROM hashes ORDER BY used DESC LIMIT 1 OFFSET ?)"));
        trim.addBindValue(maxEntries - 1);
        return trim.exec();
    });
}

// Called with `mutex` held.
qint64 HashCache::nextUse()
{
    if (uses < 0) {
        QSqlQuery &last = records.query(QStringLiteral("SELECT MAX(used) FROM hashes"));
        uses = last.exec() && last.next() ? last.value(0).toLongLong() : 0;
        last.finish();
    }
    return ++uses;
}
