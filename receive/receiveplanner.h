#ifndef RECEIVEPLANNER_H
#define RECEIVEPLANNER_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "records/partialregistry.h"

#include <QHash>
#include <QString>

#include <atomic>

class HashCache;
class StreamUnpacker;

// What the receiver of an extended request has of its files already, worked out before its user
// is asked: a file identical at its final path is skipped, and a partial file that an earlier
// transfer of the same item from the same sender kept is continued. Both make their top-level
// item a continuation, stored where the earlier transfer stored it. Reads whole files, so it
// runs beside the receiving thread and stops when `cancelled` is set.
class ReceivePlanner
{
public:
    struct Result
    {
        TransferPlan plan;
        // The hash of each resumed file's kept bytes, by manifest index, to be carried on.
        QHash<int, ContentHash> prefixes;
        // Top-level names to the names they continue under.
        QHash<QString, QString> continued;
        bool cancelled = false;
    };

    // `paths` says where each name would go; `saveDir` is its save folder, cleaned and absolute.
    static Result plan(StreamUnpacker &paths, const QString &saveDir, const Manifest &manifest,
                       const QString &senderId, const PartialRegistry &partials, HashCache *cache,
                       const std::atomic<bool> *cancelled);
};

#endif // RECEIVEPLANNER_H
