#include "send/filehasher.h"

#include "records/hashcache.h"

FileHasher::FileHasher(QObject *parent) : QObject(parent)
{
    pool.setMaxThreadCount(readers);
}

FileHasher::~FileHasher()
{
    stop = true;
    pool.waitForDone();
}

void FileHasher::start(const QStringList &paths)
{
    stop = false;
    reported = false;
    hashes = QVector<ContentHash::Value>(paths.size());
    left = paths.size();
    if (paths.isEmpty()) {
        fromReaders.post([this] { emit finished(true, -1); });
        return;
    }
    ContentHash::Value *const values = hashes.data(); // detached here, before the readers start
    for (int i = 0; i < paths.size(); ++i) {
        const QString path = paths.at(i);
        pool.start([this, values, i, path] {
            const bool ok = !stop && HashCache::shared().hashOf(path, &values[i], &stop);
            fromReaders.post([this, i, ok] { done(i, ok); });
        });
    }
}

void FileHasher::done(int index, bool ok)
{
    --left;
    if (reported)
        return;
    if (!ok) {
        reported = true;
        stop = true;
        emit finished(false, index);
    } else if (left == 0) {
        reported = true;
        // Kept at once: a sender closed mid-transfer need not read them again.
        HashCache::shared().save();
        emit finished(true, -1);
    }
}
