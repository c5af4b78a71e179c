#ifndef RECEIVEPLANNER_H
#define RECEIVEPLANNER_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/handed.h"
#include "receive/savefolder.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

class QThreadPool;
class PartialRegistry;

// What the receiver of an extended request has of its files already, worked out before its user
// is asked. A file is skipped only when its hash is known and is the hash of the file at its
// final path; a file of unknown hash with a plain file of its size there is left for the sender
// to hash ("C"); a partial file that an earlier transfer of the same item from the same sender
// kept goes on from its last saved state, which is never read. May read whole files: run it on
// a pool thread; it stops when `cancelled` is set.
class ReceivePlanner
{
public:
    struct Result
    {
        TransferPlan plan;
        // Files of unknown hash to be compared, in rising order; empty when the plan is whole.
        QList<int> compare;
        // The hash of each resumed file's kept bytes, by manifest index, to be carried on.
        QHash<int, ContentHash> resumed;
        // Where each skipped file is and what it was when compared: the body checks it is still
        // that.
        struct Compared
        {
            QString path;
            FileIdentity identity;
        };
        QHash<int, Compared> compared;
        // What the plan would put in place of existing items, for the question.
        SaveFolder::Replaced replaced;
        bool cancelled = false;
    };
    // Items looked at so far, and all.
    using Progress = std::function<void(int done, int total)>;

    ReceivePlanner(const SaveFolder &folder, const Manifest &manifest, const QString &senderId,
                   const PartialRegistry *partials, HashCache *cache);
    void setProgress(const Progress &report) { progress = report; }
    // Where the records are read while the files are looked at; in the planner's thread without.
    void setSidePool(QThreadPool *pool) { side = pool; }
    // Where a kept state may be: ExtendedProtocol::resumeStep unless a test says otherwise.
    void setResumeStep(qint64 bytes) { step = bytes; }

    // Records read on a pool thread while the manifest is parsed: those below the save folder's
    // item that the manifest's first line names, which for a folder sent whole are all the plan
    // wants. Null when that line names a file at the top, or no thread was free. No records
    // when the folder holds far more than the request's `items`.
    struct RecordsAhead
    {
        QString top; // the item's name, directly in the save folder
        Handed<std::optional<HashCache::Records>> records;
    };
    static std::shared_ptr<RecordsAhead> readAhead(QThreadPool *pool, HashCache *cache,
                                                   const QString &saveDir,
                                                   const QByteArray &manifestBytes, qint64 items);
    void setRecordsAhead(std::shared_ptr<RecordsAhead> read) { ahead = std::move(read); }

    // The records read are handed to `spent`, where given, to be freed once the plan is on its
    // way: tens of thousands of them take a while.
    Result plan(const std::atomic<bool> *cancelled, HashCache::Records *spent = nullptr);
    // The plan with the sender's hashes of the files in `first.compare`.
    Result finish(const Result &first, const QHash<int, ContentHash::Value> &senderHashes,
                  const std::atomic<bool> *cancelled);

private:
    // What one look found at a file's final path; an empty path where nothing can be there.
    struct Seen
    {
        QString path;
        FileIdentity identity;
    };
    void look(SaveFolder *at, std::atomic<int> *next, Seen *seen, bool report,
              const std::atomic<bool> *cancelled) const;
    QVector<Seen> lookAtAll(const std::atomic<bool> *cancelled);
    HashCache::Records readRecords(bool pooled, HashCache::Records readBefore = {},
                                   const QString &topRead = QString()) const;
    bool sameHere(const QString &path, const FileIdentity &identity,
                  const ContentHash::Value &expected, const std::atomic<bool> *cancelled);
    bool resume(int index, const QString &path, Result *result);

    SaveFolder folder;
    const Manifest manifest;
    const QString senderId;
    const PartialRegistry *partials;
    HashCache *cache;
    Progress progress;
    QThreadPool *side = nullptr;
    std::shared_ptr<RecordsAhead> ahead;
    qint64 step;
};

#endif // RECEIVEPLANNER_H
