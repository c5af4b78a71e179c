#include "records/partialregistry.h"

#include "receive/savefolder.h"
#include "records/fileidentity.h"
#include "records/recordstore.h"

#include <QDateTime>
#include <QFile>
#include <QVariant>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const QString columns = QStringLiteral(
    "SELECT sender, item, size, version, hash, final_path, time, kept, state FROM partials");

// The bytes of disk `path` takes, at most `length`; `length` where the system does not say.
qint64 spaceTaken(const QString &path, qint64 length)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return qMin(qint64(info.st_blocks) * 512, length);
#else
    Q_UNUSED(path);
#endif
    return length;
}

PartialRegistry::Entry entryOf(const QSqlQuery &row)
{
    PartialRegistry::Entry entry;
    entry.senderId = row.value(0).toString();
    entry.item = row.value(1).toString();
    entry.size = row.value(2).toLongLong();
    entry.version = quint64(row.value(3).toLongLong());
    ContentHash::Value hash;
    if (ContentHash::Value::fromHex(row.value(4).toByteArray(), &hash))
        entry.hash = hash;
    entry.finalPath = row.value(5).toString();
    entry.time = row.value(6).toLongLong();
    entry.kept = row.value(7).toLongLong();
    entry.state = row.value(8).toByteArray();
    return entry;
}

} // namespace

PartialRegistry::PartialRegistry(RecordStore *store) : store(store) {}

QString PartialRegistry::partialPathOf(const QString &finalPath)
{
    return SaveFolder::partialPathOf(finalPath);
}

RecordStore &PartialRegistry::records() const
{
    if (!store)
        store = &RecordStore::shared();
    return *store;
}

bool PartialRegistry::add(const Entry &entry)
{
    RecordStore &db = records();
    return db.write([&] {
        QSqlQuery &put = db.query(QStringLiteral(
            "INSERT OR REPLACE INTO partials (final_path, sender, item, size,"
            " version, hash, time, kept, state) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        put.addBindValue(entry.finalPath);
        put.addBindValue(entry.senderId);
        put.addBindValue(entry.item);
        put.addBindValue(entry.size);
        put.addBindValue(qint64(entry.version));
        put.addBindValue(entry.hash ? QVariant(QString::fromLatin1(entry.hash->toHex()))
                                    : QVariant());
        put.addBindValue(entry.time);
        put.addBindValue(entry.kept);
        put.addBindValue(entry.state);
        return put.exec();
    });
}

bool PartialRegistry::advance(const QString &finalPath, const ContentHash &state)
{
    RecordStore &db = records();
    return db.write([&] {
        QSqlQuery &update = db.query(QStringLiteral(
            "UPDATE partials SET kept = ?, state = ?, time = ? WHERE final_path = ?"));
        update.addBindValue(state.bytes());
        update.addBindValue(state.saveState());
        update.addBindValue(QDateTime::currentMSecsSinceEpoch());
        update.addBindValue(finalPath);
        return update.exec() && update.numRowsAffected() == 1;
    });
}

bool PartialRegistry::remove(const QString &finalPath)
{
    RecordStore &db = records();
    return db.write([&] {
        QSqlQuery &gone = db.query(QStringLiteral("DELETE FROM partials WHERE final_path = ?"));
        gone.addBindValue(finalPath);
        return gone.exec();
    });
}

std::optional<PartialRegistry::Entry>
PartialRegistry::find(const QString &senderId, const QString &item, qint64 size, quint64 version,
                      const std::optional<ContentHash::Value> &hash) const
{
    QSqlQuery &match = records().query(
        columns + QStringLiteral(" WHERE sender = ? AND item = ? AND size = ? AND kept > 0"
                                 " AND kept < size ORDER BY time DESC"));
    match.addBindValue(senderId);
    match.addBindValue(item);
    match.addBindValue(size);
    std::optional<Entry> found;
    if (match.exec()) {
        while (!found && match.next()) {
            const Entry entry = entryOf(match);
            if ((version != 0 && entry.version == version) || (hash && entry.hash == hash))
                found = entry;
        }
    }
    match.finish();
    return found;
}

QList<PartialRegistry::Entry> PartialRegistry::entries() const
{
    QList<Entry> list;
    QSqlQuery &all = records().query(columns + QStringLiteral(" ORDER BY time DESC"));
    if (all.exec()) {
        while (all.next())
            list << entryOf(all);
    }
    all.finish();
    return list;
}

void PartialRegistry::clean(qint64 now, qint64 maxTotal)
{
    const QList<Entry> list = entries();
    RecordStore &db = records();
    qint64 total = 0;
    bool full = false;
    db.write([&] {
        QSqlQuery &gone = db.query(QStringLiteral("DELETE FROM partials WHERE final_path = ?"));
        for (const Entry &entry : list) {
            const QString partial = partialPathOf(entry.finalPath);
            const FileIdentity file = FileIdentity::of(partial);
            if (file.isValid() && file.size() > entry.kept && entry.kept > 0)
                QFile::resize(partial, entry.kept);
            // Newest first: once the total is reached, everything older goes. What counts is the
            // space the file takes, which is far less than its length where it has holes.
            const bool tooOld = now - entry.time > maxAgeMs;
            const qint64 taken = spaceTaken(partial, entry.kept);
            full = full || (!tooOld && total + taken > maxTotal);
            if (file.isValid() && file.size() >= entry.kept && entry.kept > 0 && !tooOld && !full) {
                total += taken;
                continue;
            }
            if (file.isValid())
                QFile::remove(partial);
            gone.addBindValue(entry.finalPath);
            gone.exec();
        }
        return true;
    });
}
