#include "receive/receiveplanner.h"

#include "protocol/extendedprotocol.h"
#include "records/filehash.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"

#include <QFileInfo>
#include <QSet>

ReceivePlanner::ReceivePlanner(const SaveFolder &folder, const Manifest &manifest,
                               const QString &senderId, const PartialRegistry *partials,
                               HashCache *cache)
    : folder(folder), manifest(manifest), senderId(senderId), partials(partials), cache(cache),
      step(ExtendedProtocol::resumeStep)
{
}

// A file of unknown hash is read, and its hash remembered.
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

// Files with a file of their size here and a known hash are compared in a second pass, their
// cached hashes looked up together.
ReceivePlanner::Result ReceivePlanner::plan(const std::atomic<bool> *cancelled)
{
    Result result;
    result.plan = TransferPlan(manifest.items.size());
    const int total = manifest.items.size();
    int done = 0;
    QVector<int> same;
    QStringList paths;
    QStringList names;
    QVector<FileIdentity> identities;
    QSet<QString> missing; // folders (by name) not there, in which nothing need be looked for
    for (int i = 0; i < total && !*cancelled; ++i) {
        const Manifest::Item &item = manifest.items.at(i);
        const QString under = item.name.left(qMax(0, item.name.lastIndexOf(QLatin1Char('/'))));
        FileIdentity identity;
        const QString path = item.isFile && (under.isEmpty() || !missing.contains(under))
                                 ? folder.pathFor(item.name, &identity)
                                 : QString();
        bool absent = path.isEmpty();
        if (!absent && !identity.isValid() && !under.isEmpty() &&
            !QFileInfo::exists(path.left(path.lastIndexOf(QLatin1Char('/'))))) {
            missing.insert(under);
            absent = true;
        }
        if (identity.isValid() && identity.size() == item.size && item.hasHash) {
            same << i;
            paths << path;
            names << item.name;
            identities << identity;
            continue;
        }
        if (identity.isValid() && identity.size() == item.size)
            result.compare << i;
        else if (!absent)
            resume(i, path, &result);
        if (progress)
            progress(++done, total);
    }
    const auto cached = cache->lookupMany(paths, names, identities);
    for (int k = 0; k < same.size() && !*cancelled; ++k) {
        const int i = same.at(k);
        if (cached.at(k)
                ? *cached.at(k) == manifest.items.at(i).hash
                : sameHere(paths.at(k), identities.at(k), manifest.items.at(i).hash, cancelled)) {
            result.plan.steps[i].action = TransferPlan::Skip;
            result.compared.insert(i, identities.at(k));
        } else {
            resume(i, paths.at(k), &result);
        }
        if (progress)
            progress(++done, total);
    }
    result.cancelled = *cancelled;
    if (result.compare.isEmpty() && !result.cancelled)
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
