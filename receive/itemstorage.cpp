#include "receive/itemstorage.h"

#include "receive/receivehtml.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

ItemStorage::ItemStorage(const SaveFolder &folder) : policy(folder) {}

// An unsafe name is refused before it counts: the user sees what was wrong with it.
bool ItemStorage::countRecord(const QString &record)
{
    if (!SaveFolder::isSafeName(record))
        return add(record, QString(), StoredEntry::Refused);
    ++records;
    return recordLimit < 0 || records <= recordLimit || add(record, QString(), StoredEntry::Excess);
}

bool ItemStorage::add(const QString &record, const QString &at, StoredEntry::Status status,
                      StoredEntry::Clash what)
{
    const bool stored = status == StoredEntry::Stored || status == StoredEntry::Resumed;
    pending.append(
        StoredEntry{record, stored ? at : QString(), status, stored ? what : StoredEntry::NoClash});
    if (!stored) {
        hasFailed = true;
        lastFailure = pending.last();
    }
    return stored;
}

bool ItemStorage::fail(const QString &record, StoredEntry::Status status)
{
    dropFile();
    return add(record, QString(), status);
}

bool ItemStorage::addFolder(const QString &record)
{
    if (!countRecord(record))
        return false;
    const SaveFolder::Place place = policy.place(record, false);
    if (place.skip)
        return place.clash == StoredEntry::NoClash ||
               add(record, place.path, StoredEntry::Stored, place.clash);
    StoredEntry::Status status = place.status;
    if (status == StoredEntry::Stored) {
        const QFileInfo info(place.path);
        if (!info.isDir() && (info.exists() || info.isSymLink() || !QDir().mkdir(place.path)))
            status = StoredEntry::WriteFailed;
    }
    if (status == StoredEntry::Stored)
        policy.madeFolder(place.path);
    return add(record, place.path, status, place.clash);
}

bool ItemStorage::beginFile(const QString &record, qint64 size, const Partial *partial)
{
    name = record;
    announced += size;
    if (!countRecord(record))
        return false;
    const SaveFolder::Place place = policy.place(record, true);
    path = place.path;
    clash = place.clash;
    StoredEntry::Status status = place.status;
    if (status == StoredEntry::Stored && dataLimit >= 0 && announced > dataLimit)
        status = StoredEntry::Excess;
    if (status != StoredEntry::Stored)
        return add(record, QString(), status);
    discarding = place.skip;
    if (discarding)
        return clash == StoredEntry::NoClash || add(record, path, StoredEntry::Stored, clash);
    file = std::make_unique<FileWriter>(path);
    if (!partial)
        return file->openTemporary(keepHoles) || fail(record, StoredEntry::WriteFailed);
    if (partial->listed)
        partial->listed(path);
    const auto saved = partial->saved;
    const QString at = path;
    const bool opened = file->openPartial(partial->offset, partial->kept, partial->step,
                                          [saved, at](qint64 offset, const ContentHash &hash) {
                                              if (saved)
                                                  saved(at, offset, hash);
                                          });
    return opened || fail(record, StoredEntry::WriteFailed);
}

bool ItemStorage::addData(const char *bytes, qint64 length)
{
    data += length;
    if (discarding)
        return true;
    if (file && file->write(bytes, length))
        return true;
    noSpace = file && file->diskFull();
    return fail(name, StoredEntry::WriteFailed);
}

bool ItemStorage::endFile()
{
    const QString record = name;
    name.clear();
    if (discarding) {
        discarding = false;
        return true;
    }
    const bool committed = file && file->commit();
    noSpace = !committed && file && file->diskFull();
    file.reset();
    return add(record, path, committed ? StoredEntry::Stored : StoredEntry::WriteFailed, clash);
}

void ItemStorage::addUnchanged(const QString &record, const QString &at)
{
    if (record.contains(QLatin1Char('/')))
        ++unchangedBelow;
    else
        pending.append(StoredEntry{record, at, StoredEntry::Stored, StoredEntry::Unchanged});
}

qint64 ItemStorage::cut(const QString &record)
{
    const qint64 kept = file ? file->keep() : 0;
    file.reset();
    add(record, QString(), StoredEntry::Incomplete);
    return kept;
}

void ItemStorage::dropFile()
{
    // A partial file cut back to its last checkpoint stays: a failed write must not cost what
    // an earlier transfer kept.
    if (file)
        file->keep();
    file.reset();
}

QString ItemStorage::failure() const
{
    if (!hasFailed)
        return QString();
    if (noSpace)
        return QCoreApplication::translate("DownloadView", "磁盘空间不足，未能保存：%1")
            .arg(lastFailure.name);
    const QString text = ReceiveHtml::entryProblem(lastFailure);
    return text.isEmpty() ? QCoreApplication::translate("DownloadView", "未完整收到") : text;
}

QList<StoredEntry> ItemStorage::takeEntries()
{
    QList<StoredEntry> taken;
    taken.swap(pending);
    return taken;
}

int ItemStorage::takeUnchanged()
{
    return std::exchange(unchangedBelow, 0);
}
