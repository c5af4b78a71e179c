#include "records/hashcache.h"

#include "records/filehash.h"
#include "records/recordstore.h"

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
    // A name without a folder: the file's own record.
    const auto found = lookupMany({path}, {QString()}, {identity});
    if (!found.at(0))
        return false;
    *hash = *found.at(0);
    return true;
}

QVector<std::optional<ContentHash::Value>>
HashCache::lookupMany(const QStringList &paths, const QStringList &names,
                      const QVector<FileIdentity> &identities)
{
    return pick(recordsOf(paths, names), paths, identities);
}

namespace {

// What take() reads, in its order; the statements add their condition.
const QString recordColumns =
    QStringLiteral("SELECT path, size, modified, changed, inode, device, CAST(hash AS BLOB), used"
                   " FROM hashes ");

// A row of "path, size, modified, changed, inode, device, hash, used". The hash, stored as text,
// is read as its bytes: the driver would have SQLite turn it into UTF-16 first.
void take(const QSqlQuery &row, HashCache::Records *found)
{
    HashCache::Record record;
    if (!ContentHash::Value::fromHex(row.value(6).toByteArray(), &record.hash))
        return;
    record.identity = FileIdentity(row.value(1).toLongLong(), row.value(2).toLongLong(),
                                   row.value(3).toLongLong(), quint64(row.value(4).toLongLong()),
                                   quint64(row.value(5).toLongLong()));
    record.use = row.value(7).toLongLong();
    found->insert(row.value(0).toString(), record);
}

} // namespace

HashCache::Records HashCache::recordsOf(const QStringList &paths, const QStringList &names,
                                        Records readBefore, const QString &folderRead)
{
    Records found = std::move(readBefore);
    found.reserve(paths.size());
    QHash<QString, QVector<int>> folders; // and their files
    QVector<int> single;
    for (int i = 0; i < paths.size(); ++i) {
        const int slash = names.at(i).indexOf(QLatin1Char('/'));
        if (slash >= 0 && paths.at(i).endsWith(names.at(i)))
            folders[paths.at(i).left(paths.at(i).size() - names.at(i).size() + slash)] << i;
        else
            single << i;
    }
    folders.remove(folderRead);
    qint64 budget = rowBudget(paths.size());
    for (auto folder = folders.cbegin(); folder != folders.cend(); ++folder) {
        if (!readUnder(folder.key(), &found, &budget))
            single += folder.value();
    }
    for (const int i : qAsConst(single))
        readOne(paths.at(i), &found);
    // Those stored since the last save are not written down yet.
    const std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < paths.size() && !waiting.isEmpty(); ++i) {
        const auto stored = waiting.constFind(paths.at(i));
        if (stored != waiting.cend())
            found.insert(paths.at(i), *stored);
    }
    const QString below = folderRead + QLatin1Char('/');
    for (auto stored = waiting.cbegin(); !folderRead.isEmpty() && stored != waiting.cend();
         ++stored) {
        if (stored.key().startsWith(below))
            found.insert(stored.key(), stored.value());
    }
    return found;
}

std::optional<HashCache::Records> HashCache::recordsUnder(const QString &folder, qint64 files)
{
    Records found;
    qint64 budget = rowBudget(files);
    if (!readUnder(folder, &found, &budget))
        return std::nullopt;
    return found;
}

void HashCache::readOne(const QString &path, Records *found)
{
    static const QString byPath = recordColumns + QStringLiteral("WHERE path = ?");
    QSqlQuery &find = records.query(byPath);
    find.addBindValue(path);
    if (find.exec() && find.next())
        take(find, found);
    find.finish();
}

// False once the budget is spent: what was read stays, the rest of the folder is not read.
bool HashCache::readUnder(const QString &folder, Records *found, qint64 *budget)
{
    // '0' follows '/': the range holds exactly the paths that begin with "folder/".
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    static const QString inRange = recordColumns + QStringLiteral("WHERE path >= ? AND path < ?");
    QSqlQuery &rows = records.query(inRange);
    rows.addBindValue(prefix);
    rows.addBindValue(prefix.left(prefix.size() - 1) + QLatin1Char('0'));
    const bool read = rows.exec();
    bool whole = true;
    while (read && whole && rows.next()) {
        whole = --*budget >= 0;
        if (whole)
            take(rows, found);
    }
    rows.finish();
    return whole;
}

QVector<std::optional<ContentHash::Value>> HashCache::pick(const Records &found,
                                                           const QStringList &paths,
                                                           const QVector<FileIdentity> &identities)
{
    QVector<std::optional<ContentHash::Value>> hashes(paths.size());
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < paths.size(); ++i) {
            const auto record = found.constFind(paths.at(i));
            if (!identities.at(i).isValid() || record == found.cend() ||
                record->identity != identities.at(i))
                continue;
            hashes[i] = record->hash;
            full = touchesLocked(paths.at(i), record->use) || full;
        }
    }
    if (full)
        save();
    return hashes;
}

// A use is written down only for an entry that is no longer among the most recent: one used a
// moment ago is far from being dropped, and a resend of a large tree would otherwise rewrite
// every one of its entries. Called with `mutex` held; true when the batch is full.
bool HashCache::touchesLocked(const QString &path, qint64 lastUse)
{
    const auto stored = waiting.find(path);
    if (stored != waiting.end()) {
        stored.value().use = nextUse();
        return false;
    }
    if (lastUseLocked() - lastUse < maxEntries / 4)
        return false;
    touched.insert(path, nextUse());
    return touched.size() >= touchedBatch;
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
        waiting.insert(path, Record{identity, hash, nextUse()});
        full = waiting.size() >= storedBatch;
    }
    if (full)
        save();
}

void HashCache::save()
{
    QHash<QString, qint64> uses;
    QHash<QString, Record> stores;
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

// Both called with `mutex` held.
qint64 HashCache::lastUseLocked()
{
    if (uses < 0) {
        QSqlQuery &last = records.query(QStringLiteral("SELECT MAX(used) FROM hashes"));
        uses = last.exec() && last.next() ? last.value(0).toLongLong() : 0;
        last.finish();
    }
    return uses;
}

qint64 HashCache::nextUse()
{
    lastUseLocked();
    return ++uses;
}
