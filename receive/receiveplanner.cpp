#include "receive/receiveplanner.h"

#include "protocol/extendedprotocol.h"
#include "protocol/hashcache.h"
#include "receive/streamunpacker.h"

#include <QFileInfo>

namespace {

// A whole tree is looked at before its user is asked: a file whose size and time the cache knows
// costs one look at the file system.
bool isSame(const QString &path, const Manifest::Item &item, HashCache *cache,
            const std::atomic<bool> *cancelled)
{
    qint64 size = 0;
    qint64 time = 0;
    if (!HashCache::plainFile(path, &size, &time) || size != item.size)
        return false;
    ContentHash::Value hash;
    if (!cache->lookup(path, size, time, &hash) &&
        !cache->hashOf(QFileInfo(path), &hash, cancelled))
        return false;
    return hash == item.hash;
}

} // namespace

ReceivePlanner::Result ReceivePlanner::plan(StreamUnpacker &paths, const QString &saveDir,
                                            const Manifest &manifest, const QString &senderId,
                                            const PartialRegistry &partials, HashCache *cache,
                                            const std::atomic<bool> *cancelled)
{
    Result result;
    result.plan = TransferPlan(manifest.items.size());
    const int prefixLength = saveDir.size() + 1;
    for (int i = 0; i < manifest.items.size(); ++i) {
        if (*cancelled) {
            result.cancelled = true;
            return result;
        }
        const Manifest::Item &item = manifest.items.at(i);
        const QString path = item.isFile ? paths.pathFor(item.name) : QString();
        if (path.isEmpty())
            continue;
        const QString relative = path.mid(prefixLength);
        const QString top = relative.section(QLatin1Char('/'), 0, 0);
        const QString rest = relative.mid(top.size());
        const auto known = result.continued.constFind(top);
        const QString storedTop = known == result.continued.constEnd() ? top : *known;
        const QString inPlace = storedTop == top ? path : paths.pathFor(storedTop + rest);
        TransferPlan::Step &step = result.plan.steps[i];
        if (!inPlace.isEmpty() && isSame(inPlace, item, cache, cancelled)) {
            step.action = TransferPlan::Skip;
            result.continued.insert(top, storedTop);
            continue;
        }

        const PartialRegistry::Entry *kept =
            partials.find(senderId, item.name, item.size, item.hash);
        if (!kept || !kept->finalPath.startsWith(saveDir + QLatin1Char('/')) ||
            !kept->finalPath.endsWith(rest) || kept->finalPath.size() - rest.size() <= prefixLength)
            continue;
        // The earlier transfer may have stored the item under another top-level name.
        const QString keptTop = kept->finalPath.mid(prefixLength).chopped(rest.size());
        if (keptTop.contains(QLatin1Char('/')) ||
            (known != result.continued.constEnd() && keptTop != storedTop) ||
            paths.pathFor(keptTop + rest) != kept->finalPath)
            continue;
        const qint64 offset =
            kept->kept / ExtendedProtocol::resumeStep * ExtendedProtocol::resumeStep;
        ContentHash prefix;
        if (offset <= 0 ||
            !prefix.addFile(StreamUnpacker::partialPathOf(kept->finalPath), offset, cancelled) ||
            prefix.bytes() != offset)
            continue;
        step.action = TransferPlan::Resume;
        step.offset = offset;
        result.prefixes.insert(i, prefix);
        result.continued.insert(top, keptTop);
    }
    return result;
}
