#ifndef KNOWNDEVICES_H
#define KNOWNDEVICES_H

#include "security/fingerprint.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class RecordStore;

// The other installations this one has paired with, by the fingerprint each proved, with the name
// and address they had when last seen. A device is trusted by its fingerprint alone: names and
// addresses are only shown, as anyone may announce any of them.
class KnownDevices
{
public:
    struct Device
    {
        Fingerprint fingerprint;
        QString name;
        QString address;
        qint64 firstSeen = 0; // milliseconds since the epoch
        qint64 lastSeen = 0;
    };

    // Without a store, the working folder's, looked up at the first use.
    explicit KnownDevices(RecordStore *store = nullptr);

    // Adds the device, or notes that it was seen again at `now` under this name and address.
    // False for a null fingerprint or when the records cannot be written.
    bool remember(const Fingerprint &fingerprint, const QString &name, const QString &address,
                  qint64 now = QDateTime::currentMSecsSinceEpoch());
    std::optional<Device> find(const Fingerprint &fingerprint) const;
    // Names are not unique: every device last seen under `name`, the newest first.
    QList<Device> findByName(const QString &name) const;
    // A known device other than `fingerprint` that was last seen under `name` or at `address`
    // (an empty one matches nothing): a peer that shows an unknown certificate under it is not
    // the device the user paired with, and is not paired with in its stead.
    std::optional<Device> otherClaim(const Fingerprint &fingerprint, const QString &name,
                                     const QString &address) const;
    // Every device, the one seen last first.
    QList<Device> all() const;
    // After this the device must be paired again; true when it was known.
    bool forget(const Fingerprint &fingerprint);

private:
    RecordStore &records() const;
    QList<Device> select(const QString &condition, const QString &value) const;

    mutable RecordStore *store;
};

#endif // KNOWNDEVICES_H
