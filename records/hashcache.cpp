#include "records/hashcache.h"

#include "records/filehash.h"
#include "records/recordstore.h"

#include <QMap>
#include <QVariant>

#include <map>
#include <memory>

namespace {

// Uses are written down in one transaction per this many, so that looking up costs no write,
// nor planning a large transfer a write now and then; stores, which matter more, sooner.
constexpr int touchedBatch = 65536;
constexpr int storedBatch = 4096;

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
    if (waits(path, identity, hash))
        return true;
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
    used(path);
    return true;
}

QVector<std::optional<ContentHash::Value>>
HashCache::lookupMany(const QStringList &paths, const QStringList &names,
                      const QVector<FileIdentity> &identities)
{
    QVector<std::optional<ContentHash::Value>> found(paths.size());
    QMap<QString, QVector<int>> inside; // by the top folder
    for (int i = 0; i < paths.size(); ++i) {
        const int slash = names.at(i).indexOf(QLatin1Char('/'));
        ContentHash::Value hash;
        if (slash >= 0 && paths.at(i).endsWith(names.at(i)))
            inside[paths.at(i).left(paths.at(i).size() - names.at(i).size() + slash)] << i;
        else if (lookup(paths.at(i), identities.at(i), &hash))
            found[i] = hash;
    }
    for (auto folder = inside.cbegin(); folder != inside.cend(); ++folder) {
        QStringList some;
        QVector<FileIdentity> theirs;
        for (const int i : folder.value()) {
            some << paths.at(i);
            theirs << identities.at(i);
        }
        const auto hashes = lookupUnder(folder.key(), some, theirs);
        for (int k = 0; k < hashes.size(); ++k)
            found[folder.value().at(k)] = hashes.at(k);
    }
    return found;
}

QVector<std::optional<ContentHash::Value>>
HashCache::lookupUnder(const QString &folder, const QStringList &paths,
                       const QVector<FileIdentity> &identities)
{
    QVector<std::optional<ContentHash::Value>> found(paths.size());
    QHash<QString, int> wanted;
    wanted.reserve(paths.size());
    for (int i = 0; i < paths.size(); ++i) {
        ContentHash::Value hash;
        // Those stored since the last save are not written down yet.
        if (waits(paths.at(i), identities.at(i), &hash))
            found[i] = hash;
        else if (identities.at(i).isValid())
            wanted.insert(paths.at(i), i);
    }
    // '0' follows '/': the range holds exactly the paths that begin with "folder/".
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    QSqlQuery &rows = records.query(
        QStringLiteral("SELECT path, size, modified, changed, inode, device, hash FROM hashes"
                       " WHERE path >= ? AND path < ?"));
    rows.addBindValue(prefix);
    rows.addBindValue(prefix.left(prefix.size() - 1) + QLatin1Char('0'));
    const bool read = rows.exec();
    while (read && rows.next()) {
        const int index = wanted.value(rows.value(0).toString(), -1);
        ContentHash::Value value;
        if (index < 0 || !ContentHash::Value::fromHex(rows.value(6).toByteArray(), &value) ||
            FileIdentity(rows.value(1).toLongLong(), rows.value(2).toLongLong(),
                         rows.value(3).toLongLong(), quint64(rows.value(4).toLongLong()),
                         quint64(rows.value(5).toLongLong())) != identities.at(index))
            continue;
        found[index] = value;
        used(paths.at(index));
    }
    rows.finish();
    return found;
}

bool HashCache::waits(const QString &path, const FileIdentity &identity, ContentHash::Value *hash)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto stored = waiting.find(path);
    if (stored == waiting.end() || stored.value().identity != identity)
        return false;
    *hash = stored.value().hash;
    stored.value().use = nextUse();
    return true;
}

void HashCache::used(const QString &path)
{
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        touched.insert(path, nextUse());
        full = touched.size() >= touchedBatch;
    }
    if (full)
        save();
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
        full = waiting.size() >= storedBatch;
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
