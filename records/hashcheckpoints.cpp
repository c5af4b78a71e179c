#include "records/hashcheckpoints.h"

#include "records/recordstore.h"

#include <QDateTime>
#include <QVariant>

HashCheckpoints::HashCheckpoints(RecordStore &store) : records(store) {}

bool HashCheckpoints::save(const QString &path, quint64 version, const ContentHash &state)
{
    const qint64 offset = state.bytes();
    if (offset <= 0 || offset % step != 0)
        return false;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return records.write([&] {
        QSqlQuery &stale = records.query(QStringLiteral(
            "DELETE FROM checkpoints WHERE (path = ? AND version != ?) OR time < ?"));
        stale.addBindValue(path);
        stale.addBindValue(qint64(version));
        stale.addBindValue(now - maxAgeMs);
        QSqlQuery &put = records.query(
            QStringLiteral("INSERT OR REPLACE INTO checkpoints (path, version, offset, state, time)"
                           " VALUES (?, ?, ?, ?, ?)"));
        put.addBindValue(path);
        put.addBindValue(qint64(version));
        put.addBindValue(offset);
        put.addBindValue(state.saveState());
        put.addBindValue(now);
        return stale.exec() && put.exec();
    });
}

bool HashCheckpoints::find(const QString &path, quint64 version, qint64 offset,
                           ContentHash *state) const
{
    QSqlQuery &kept =
        records.query(QStringLiteral("SELECT state FROM checkpoints WHERE path = ? AND version = ?"
                                     " AND offset <= ? ORDER BY offset DESC LIMIT 1"));
    kept.addBindValue(path);
    kept.addBindValue(qint64(version));
    kept.addBindValue(offset);
    const QByteArray saved =
        kept.exec() && kept.next() ? kept.value(0).toByteArray() : QByteArray();
    kept.finish();
    return state->restoreState(saved);
}

void HashCheckpoints::drop(const QString &path)
{
    records.write([&] {
        QSqlQuery &gone = records.query(QStringLiteral("DELETE FROM checkpoints WHERE path = ?"));
        gone.addBindValue(path);
        return gone.exec();
    });
}
