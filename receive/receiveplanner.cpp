#include "receive/receiveplanner.h"

#include "protocol/extendedprotocol.h"
#include "records/filehash.h"
#include "records/hashcache.h"
#include "records/partialregistry.h"
#include "records/recordstore.h"

#include <QFileInfo>
#include <QSet>
#include <QThreadPool>

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

// What is at each file's final path: one lstat each, none inside a folder found missing. The
// items are taken a run at a time from `next`, shared by all who look, so that each looks while
// there is something left.
void ReceivePlanner::look(SaveFolder *at, std::atomic<int> *next, Seen *seen, bool report,
                          const std::atomic<bool> *cancelled) const
{
    constexpr int run = 256;
    const int total = manifest.items.size();
    QSet<QString> missing; // folders (by name) not there
    for (int from = next->fetch_add(run); from < total; from = next->fetch_add(run)) {
        for (int i = from; i < std::min(from + run, total) && !*cancelled; ++i) {
            const Manifest::Item &item = manifest.items.at(i);
            const int slash = item.name.lastIndexOf(QLatin1Char('/'));
            if (!item.isFile ||
                (slash > 0 && !missing.isEmpty() && missing.contains(item.name.left(slash))))
                continue;
            Seen &here = seen[i];
            here.path = at->pathFor(item.name, &here.identity);
            if (!here.path.isEmpty() && !here.identity.isValid() && slash > 0 &&
                !QFileInfo::exists(here.path.left(here.path.lastIndexOf(QLatin1Char('/'))))) {
                missing.insert(item.name.left(slash));
                here.path.clear();
            }
        }
        if (report && progress)
            progress(std::min(from + run, total), total);
    }
}

// The records of the manifest's folders, read in one go, but for those read ahead: the files
// below `topRead` are not even listed. A pool thread's connection goes with its job, never with
// the program's end.
HashCache::Records ReceivePlanner::readRecords(bool pooled, HashCache::Records readBefore,
                                               const QString &topRead) const
{
    QStringList paths;
    QStringList names;
    const QString below = topRead + QLatin1Char('/');
    for (const Manifest::Item &item : manifest.items) {
        if (item.isFile && item.hasHash && (topRead.isEmpty() || !item.name.startsWith(below))) {
            names << item.name;
            paths << folder.dir() + QLatin1Char('/') + item.name;
        }
    }
    const QString folderRead =
        topRead.isEmpty() ? QString() : folder.dir() + QLatin1Char('/') + topRead;
    HashCache::Records found = cache->recordsOf(paths, names, std::move(readBefore), folderRead);
    if (pooled)
        RecordStore::releaseThread();
    return found;
}

std::shared_ptr<ReceivePlanner::RecordsAhead>
ReceivePlanner::readAhead(QThreadPool *pool, HashCache *cache, const QString &saveDir,
                          const QByteArray &manifestBytes, qint64 items)
{
    const int end = manifestBytes.indexOf('\n');
    Manifest first;
    if (end < 0 || !Manifest::parse(manifestBytes.left(end + 1), &first))
        return nullptr;
    const Manifest::Item &item = first.items.at(0);
    // A file at the top has a record of its own, looked up by its path.
    if (item.isFile && !item.name.contains(QLatin1Char('/')))
        return nullptr;
    auto ahead = std::make_shared<RecordsAhead>();
    ahead->top = item.name.section(QLatin1Char('/'), 0, 0);
    const QString folder = saveDir + QLatin1Char('/') + ahead->top;
    const bool started = pool->tryStart([ahead, cache, folder, items] {
        ahead->records.set(cache->recordsUnder(folder, items));
        RecordStore::releaseThread();
    });
    return started ? ahead : nullptr;
}

// What is at each file's final path, looked at on the side as well.
QVector<ReceivePlanner::Seen> ReceivePlanner::lookAtAll(const std::atomic<bool> *cancelled)
{
    QVector<Seen> seen(manifest.items.size());
    Seen *const each = seen.data(); // detached here, before the side starts
    std::atomic<int> next{0};
    SaveFolder other = folder;
    Handed<bool> sideDone;
    const bool aside = side && side->tryStart([&] {
        look(&other, &next, each, false, cancelled);
        sideDone.set(true);
    });
    look(&folder, &next, each, true, cancelled);
    if (aside)
        sideDone.take();
    return seen;
}

// The save folder is looked at while the records are read; then files with a file of their size
// here and a known hash are compared.
ReceivePlanner::Result ReceivePlanner::plan(const std::atomic<bool> *cancelled,
                                            HashCache::Records *spent)
{
    // Read before the look begins: the folder's root is all it shares with it.
    Handed<HashCache::Records> records;
    const bool recordsAside =
        !ahead && side && side->tryStart([this, &records] { records.set(readRecords(true)); });
    QVector<Seen> seen = lookAtAll(cancelled);
    std::optional<HashCache::Records> early = ahead ? ahead->records.take() : std::nullopt;
    if (early)
        records.set(readRecords(false, std::move(*early), ahead->top));
    else if (!recordsAside)
        records.set(readRecords(false));

    const int total = manifest.items.size();
    Result result;
    result.plan = TransferPlan(total);
    QVector<int> same;
    QStringList paths;
    QVector<FileIdentity> identities;
    for (int i = 0; i < total && !*cancelled; ++i) {
        const Manifest::Item &item = manifest.items.at(i);
        const Seen &here = seen.at(i);
        if (here.identity.isValid() && here.identity.size() == item.size && item.hasHash) {
            same << i;
            paths << here.path;
            identities << here.identity;
        } else if (here.identity.isValid() && here.identity.size() == item.size) {
            result.compare << i;
        } else if (!here.path.isEmpty()) {
            resume(i, here.path, &result);
        }
    }
    seen.clear();
    HashCache::Records known = records.take();
    const auto cached = cache->pick(known, paths, identities);
    if (spent)
        *spent = std::move(known);
    result.compared.reserve(same.size());
    for (int k = 0; k < same.size() && !*cancelled; ++k) {
        const int i = same.at(k);
        if (cached.at(k)
                ? *cached.at(k) == manifest.items.at(i).hash
                : sameHere(paths.at(k), identities.at(k), manifest.items.at(i).hash, cancelled)) {
            result.plan.steps[i].action = TransferPlan::Skip;
            result.compared.insert(i, {paths.at(k), identities.at(k)});
        } else {
            resume(i, paths.at(k), &result);
        }
        if (progress)
            progress(total - same.size() + k + 1, total);
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
            result.compared.insert(i, {path, identity});
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
