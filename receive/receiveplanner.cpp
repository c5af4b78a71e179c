#include "receive/receiveplanner.h"

#include "protocol/extendedprotocol.h"
#include "records/filehash.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"

#include <QFileInfo>

ReceivePlanner::ReceivePlanner(const SaveFolder &folder, const Manifest &manifest,
                               const QString &senderId, const PartialRegistry *partials,
                               HashCache *cache)
    : folder(folder), manifest(manifest), senderId(senderId), partials(partials), cache(cache),
      step(ExtendedProtocol::resumeStep)
{
}

// A file whose identity the cache knows costs one look at the file system.
bool ReceivePlanner::sameHere(const QString &path, const FileIdentity &identity,
                              const ContentHash::Value &expected,
                              const std::atomic<bool> *cancelled)
{
    ContentHash::Value hash;
    if (!cache->lookup(path, identity, &hash)) {
        ContentHash reading;
        if (!FileHash::feed(&reading, path, -1, cancelled) || FileIdentity::of(path) != identity)
            return false;
        hash = reading.value();
        cache->store(path, identity, hash);
    }
    return hash == expected;
}

ReceivePlanner::Result ReceivePlanner::plan(const std::atomic<bool> *cancelled)
{
    Result result;
    result.plan = TransferPlan(manifest.items.size());
    for (int i = 0; i < manifest.items.size(); ++i) {
        if (*cancelled) {
            result.cancelled = true;
            return result;
        }
        if (progress)
            progress(i, manifest.items.size());
        const Manifest::Item &item = manifest.items.at(i);
        const QString path = item.isFile ? folder.pathFor(item.name) : QString();
        if (path.isEmpty())
            continue;
        const FileIdentity identity = FileIdentity::of(path);
        if (identity.isValid() && identity.size() == item.size) {
            if (!item.hasHash) {
                result.compare << i;
                continue;
            }
            if (sameHere(path, identity, item.hash, cancelled)) {
                result.plan.steps[i].action = TransferPlan::Skip;
                result.compared.insert(i, identity);
                continue;
            }
        }
        resume(i, path, &result);
    }
    if (progress)
        progress(manifest.items.size(), manifest.items.size());
    if (result.compare.isEmpty())
        result.replaced = folder.replacedFiles(manifest, result.plan);
    return result;
}

ReceivePlanner::Result ReceivePlanner::finish(const Result &first,
                                              const QHash<int, ContentHash::Value> &senderHashes,
                                              const std::atomic<bool> *cancelled)
{
    Result result = first;
    result.compare.clear();
    for (int i : first.compare) {
        const QString path = folder.pathFor(manifest.items.at(i).name);
        if (*cancelled) {
            result.cancelled = true;
            return result;
        }
        const FileIdentity identity = FileIdentity::of(path);
        if (senderHashes.contains(i) && identity.isValid() &&
            identity.size() == manifest.items.at(i).size &&
            sameHere(path, identity, senderHashes.value(i), cancelled)) {
            result.plan.steps[i].action = TransferPlan::Skip;
            result.compared.insert(i, identity);
        } else {
            resume(i, path, &result);
        }
    }
    result.replaced = folder.replacedFiles(manifest, result.plan);
    return result;
}

// Only a plain file at the partial's name, holding at least the saved bytes, goes on; nothing of
// it is read. Where the final path is taken, the rule decides that file, so it comes whole.
bool ReceivePlanner::resume(int index, const QString &path, Result *result)
{
    const Manifest::Item &item = manifest.items.at(index);
    // Most files have no partial file: the records are asked only for those that have one.
    const FileIdentity partial = FileIdentity::of(SaveFolder::partialPathOf(path));
    if (!partials || !partial.isValid())
        return false;
    const std::optional<PartialRegistry::Entry> kept =
        partials->find(senderId, item.name, item.size, item.version,
                       item.hasHash ? std::optional(item.hash) : std::nullopt);
    ContentHash carried;
    const QFileInfo target(path);
    if (!kept || kept->finalPath != path || kept->kept % step != 0 || partial.size() < kept->kept ||
        ((target.exists() || target.isSymLink()) &&
         folder.rule() != SettingsKeys::NameClash::Overwrite) ||
        !carried.restoreState(kept->state) || carried.bytes() != kept->kept)
        return false;
    TransferPlan::Step &step = result->plan.steps[index];
    step.action = TransferPlan::Resume;
    step.offset = kept->kept;
    result->resumed.insert(index, carried);
    return true;
}
