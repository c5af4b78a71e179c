#include "records/knowndevices.h"

#include "records/recordstore.h"

#include <QVariant>

namespace {

const QString columns =
    QStringLiteral("SELECT fingerprint, name, address, first_seen, last_seen FROM devices");

KnownDevices::Device deviceOf(const QSqlQuery &row)
{
    KnownDevices::Device device;
    device.fingerprint = Fingerprint::fromHex(row.value(0).toString());
    device.name = row.value(1).toString();
    device.address = row.value(2).toString();
    device.firstSeen = row.value(3).toLongLong();
    device.lastSeen = row.value(4).toLongLong();
    return device;
}

} // namespace

KnownDevices::KnownDevices(RecordStore *store) : store(store) {}

RecordStore &KnownDevices::records() const
{
    if (!store)
        store = &RecordStore::shared();
    return *store;
}

bool KnownDevices::remember(const Fingerprint &fingerprint, const QString &name,
                            const QString &address, qint64 now)
{
    if (fingerprint.isNull())
        return false;
    RecordStore &db = records();
    return db.write([&] {
        // The first time seen stays what it was.
        QSqlQuery &put = db.query(QStringLiteral(
            "INSERT INTO devices (fingerprint, name, address, first_seen, last_seen)"
            " VALUES (?, ?, ?, ?, ?) ON CONFLICT (fingerprint) DO UPDATE SET"
            " name = excluded.name, address = excluded.address, last_seen = excluded.last_seen"));
        // A null string would be stored as NULL, which the columns do not take.
        for (const QVariant &value :
             {QVariant(fingerprint.hex()), QVariant(name.isNull() ? QStringLiteral("") : name),
              QVariant(address.isNull() ? QStringLiteral("") : address), QVariant(now),
              QVariant(now)})
            put.addBindValue(value);
        return put.exec();
    });
}

std::optional<KnownDevices::Device> KnownDevices::find(const Fingerprint &fingerprint) const
{
    if (fingerprint.isNull())
        return std::nullopt;
    const QList<Device> found = select(QStringLiteral("fingerprint"), fingerprint.hex());
    return found.isEmpty() ? std::nullopt : std::optional<Device>(found.first());
}

QList<KnownDevices::Device> KnownDevices::findByName(const QString &name) const
{
    return select(QStringLiteral("name"), name);
}

std::optional<KnownDevices::Device> KnownDevices::otherClaim(const Fingerprint &fingerprint,
                                                             const QString &name,
                                                             const QString &address) const
{
    QList<Device> claims;
    if (!name.isEmpty())
        claims << findByName(name);
    if (!address.isEmpty())
        claims << select(QStringLiteral("address"), address);
    for (const Device &device : qAsConst(claims)) {
        if (device.fingerprint != fingerprint)
            return device;
    }
    return std::nullopt;
}

QList<KnownDevices::Device> KnownDevices::all() const
{
    return select(QString(), QString());
}

// The rows whose `condition` column holds `value`, or all rows without a condition.
QList<KnownDevices::Device> KnownDevices::select(const QString &condition,
                                                 const QString &value) const
{
    const QString where =
        condition.isEmpty() ? QString() : QStringLiteral(" WHERE %1 = ?").arg(condition);
    QSqlQuery &rows =
        records().query(columns + where + QStringLiteral(" ORDER BY last_seen DESC, rowid DESC"));
    if (!condition.isEmpty())
        rows.addBindValue(value);
    QList<Device> list;
    if (rows.exec()) {
        while (rows.next())
            list << deviceOf(rows);
    }
    rows.finish();
    return list;
}

bool KnownDevices::forget(const Fingerprint &fingerprint)
{
    RecordStore &db = records();
    bool known = false;
    const bool written = db.write([&] {
        QSqlQuery &gone = db.query(QStringLiteral("DELETE FROM devices WHERE fingerprint = ?"));
        gone.addBindValue(fingerprint.hex());
        if (!gone.exec())
            return false;
        known = gone.numRowsAffected() > 0;
        return true;
    });
    return written && known;
}
