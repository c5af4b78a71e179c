#include "receive/extendedparts.h"

#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/identityreader.h"
#include "records/partialregistry.h"

#include <QDateTime>

ExtendedParts::ExtendedParts(const SaveFolder &folder, const Manifest &manifest,
                             const ReceivePlanner::Result &planned, PartialRegistry *partials,
                             const QString &senderId)
    : manifest(manifest), planned(planned), partials(partials), senderId(senderId), storage(folder),
      reader(this->manifest, this->planned.plan, this)
{
    // An item with a file identical here or a kept partial of it stays where it is.
    for (int i = 0; i < manifest.items.size(); ++i) {
        if (planned.plan.steps.value(i).action != TransferPlan::Whole)
            storage.folder().continueItem(manifest.items.at(i).name);
    }
    storage.setRecordLimit(manifest.items.size());
    storage.setDataLimit(manifest.totalSize());
    storage.setKeepHoles(true);
}

bool ExtendedParts::feed(const char *data, qint64 length)
{
    if (storage.failed())
        return false;
    if (!reader.feed(data, length) && !storage.failed())
        storage.fail(current >= 0 ? manifest.items.at(current).name : QString(),
                     StoredEntry::Invalid);
    return !storage.failed();
}

void ExtendedParts::finish()
{
    if (reader.atEnd() || storage.failed())
        return;
    const QString path = storage.filePath();
    const bool writing = current >= 0 && storage.writer();
    if (storage.cut(current >= 0 ? manifest.items.at(current).name : QString()) <= 0 && writing)
        dropPartial(path);
}

bool ExtendedParts::folder(int index)
{
    return storage.addFolder(manifest.items.at(index).name);
}

// The file the plan compared must be the one here still: otherwise the transfer would end as if
// the user had the sender's file.
void ExtendedParts::begin()
{
    looked = true;
    IdentityReader reader;
    for (int i = 0; i < manifest.items.size(); ++i) { // in order: folder by folder
        const auto compared = planned.compared.constFind(i);
        if (compared != planned.compared.cend() && reader.of(compared->path) != compared->identity)
            changed.insert(i);
    }
}

bool ExtendedParts::skipped(int index)
{
    const QString name = manifest.items.at(index).name;
    const auto compared = planned.compared.constFind(index);
    if (!looked || compared == planned.compared.cend() || changed.contains(index))
        return storage.fail(name, StoredEntry::Changed);
    storage.addUnchanged(name, compared->path);
    return true;
}

bool ExtendedParts::fileBegin(int index, qint64 offset)
{
    const Manifest::Item &item = manifest.items.at(index);
    const TransferPlan::Step &planStep = planned.plan.steps.at(index);
    // A sender may send a file whole that the plan resumes; its kept bytes come again.
    if (planStep.action == TransferPlan::Resume && offset == 0)
        extra += planStep.offset;
    current = index;
    // A file no longer than one step could only ever be continued from its start: it is not
    // worth a partial file and its records.
    if (offset == 0 && item.size <= step)
        return storage.beginFile(item.name, item.size);
    ItemStorage::Partial partial;
    partial.offset = offset;
    if (offset > 0)
        partial.kept = planned.resumed.value(index);
    partial.step = step;
    // Listed before its first byte, so that a crash leaves nothing unknown behind.
    partial.listed = [this, index, offset](const QString &path) {
        listPartial(index, path, offset);
    };
    partial.saved = [this](const QString &path, qint64 at, const ContentHash &hash) {
        saveCheckpoint(path, at, hash);
    };
    if (!storage.beginFile(item.name, item.size, &partial))
        return false;
    if (offset > 0)
        storage.note(StoredEntry{item.name, storage.filePath(), StoredEntry::Resumed,
                                 StoredEntry::NoClash, offset});
    return true;
}

bool ExtendedParts::fileData(const char *data, qint64 length)
{
    return storage.addData(data, length);
}

// What arrived must be what the sender read, and what its manifest promised when it knew that.
bool ExtendedParts::fileEnd(int index, const ContentHash::Value &sent)
{
    current = -1;
    const Manifest::Item &item = manifest.items.at(index);
    const QString path = storage.filePath();
    FileWriter *writer = storage.writer();
    if (writer && (writer->hash() != sent || (item.hasHash && writer->hash() != item.hash))) {
        writer->cancel();
        dropPartial(path);
        return storage.fail(item.name, StoredEntry::Mismatch);
    }
    const bool written = writer != nullptr;
    if (!storage.endFile())
        return false;
    if (written) {
        dropPartial(path);
        const FileIdentity identity = FileIdentity::of(path);
        if (verified && identity.isValid())
            verified->store(path, identity, sent);
    }
    return true;
}

// A file that can be continued is listed before its first byte: a crash before its commit must
// leave nothing that the records do not know of.
void ExtendedParts::listPartial(int index, const QString &path, qint64 offset)
{
    const Manifest::Item &item = manifest.items.at(index);
    PartialRegistry::Entry entry;
    entry.senderId = senderId;
    entry.item = item.name;
    entry.size = item.size;
    entry.version = item.version;
    if (item.hasHash)
        entry.hash = item.hash;
    entry.finalPath = path;
    entry.time = QDateTime::currentMSecsSinceEpoch();
    if (offset > 0) {
        entry.kept = offset;
        entry.state = planned.resumed.value(index).saveState();
    }
    listed = partials->add(entry);
}

void ExtendedParts::saveCheckpoint(const QString &path, qint64 offset, const ContentHash &hash)
{
    Q_ASSERT(hash.bytes() == offset);
    Q_UNUSED(offset);
    partials->advance(path, hash);
}

void ExtendedParts::dropPartial(const QString &path)
{
    if (!listed)
        return;
    listed = false;
    partials->remove(path);
}
