#include "receive/extendedunpacker.h"

#include "receive/partialregistry.h"
#include "receive/streamunpacker.h"

#include <QDateTime>

ExtendedUnpacker::ExtendedUnpacker(StreamUnpacker *unpacker, const Manifest &manifest,
                                   const TransferPlan &plan,
                                   const QHash<int, ContentHash> &prefixes,
                                   PartialRegistry *partials, const QString &senderId)
    : unpacker(unpacker), manifest(manifest), plan(plan), prefixes(prefixes), partials(partials),
      senderId(senderId), reader(this->manifest, this->plan, this)
{
}

bool ExtendedUnpacker::feed(const char *data, qint64 length)
{
    if (unpacker->failed())
        return false;
    if (!reader.feed(data, length) && !unpacker->failed()) {
        unpacker->reject(current >= 0 ? manifest.items.at(current).name : QString());
    }
    return !unpacker->failed();
}

void ExtendedUnpacker::finish()
{
    if (reader.atEnd() || unpacker->failed())
        return;
    unpacker->finish();
    if (current < 0 || unpacker->keptBytes() <= 0)
        return;
    const Manifest::Item &item = manifest.items.at(current);
    PartialRegistry::Entry entry;
    entry.senderId = senderId;
    entry.item = item.name;
    entry.size = item.size;
    entry.hash = item.hash;
    entry.finalPath = currentPath;
    entry.time = QDateTime::currentMSecsSinceEpoch();
    entry.kept = unpacker->keptBytes();
    partials->put(entry);
}

bool ExtendedUnpacker::folder(int index)
{
    return unpacker->addFolder(manifest.items.at(index).name);
}

bool ExtendedUnpacker::skipped(int index)
{
    return unpacker->addUnchanged(manifest.items.at(index).name);
}

bool ExtendedUnpacker::fileBegin(int index, qint64 offset)
{
    const Manifest::Item &item = manifest.items.at(index);
    const TransferPlan::Step &step = plan.steps.at(index);
    // The sender's own first bytes differ from what is kept here: the file comes whole.
    if (step.action == TransferPlan::Resume && offset == 0)
        extra += step.offset;
    if (!unpacker->beginFile(item.name, item.size, offset,
                             offset > 0 ? prefixes.value(index) : ContentHash()))
        return false;
    current = index;
    currentPath = unpacker->storingPath();
    return true;
}

bool ExtendedUnpacker::fileData(const char *data, qint64 length)
{
    return unpacker->addData(data, length);
}

bool ExtendedUnpacker::fileEnd(int index, const ContentHash::Value &sent)
{
    current = -1;
    partials->remove(currentPath);
    const Manifest::Item &item = manifest.items.at(index);
    if (item.hasHash && item.hash != sent)
        return unpacker->endFile(item.hash);
    return unpacker->endFile(sent);
}
