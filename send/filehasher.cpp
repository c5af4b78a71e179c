#include "send/filehasher.h"

#include "send/fileversion.h"
#include "send/sourcerecords.h"

namespace {

// A file's hash, read only when the records do not know it for the file's version; one written
// to while it was read is not remembered.
bool hashOf(const QString &path, ContentHash::Value *value, const std::atomic<bool> &stop)
{
    const quint64 version = FileVersion::of(path);
    if (SourceRecords::shared().hash(path, version, value))
        return true;
    ContentHash contents;
    if (version == 0 || !contents.addFile(path, -1, &stop))
        return false;
    *value = contents.value();
    if (FileVersion::of(path) != version)
        return false;
    SourceRecords::shared().storeHash(path, version, *value);
    return true;
}

} // namespace

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
        QMetaObject::invokeMethod(
            this, [this] { emit finished(true, -1); }, Qt::QueuedConnection);
        return;
    }
    ContentHash::Value *const values = hashes.data(); // detached here, before the readers start
    for (int i = 0; i < paths.size(); ++i) {
        const QString path = paths.at(i);
        pool.start([this, values, i, path] {
            const bool ok = !stop && hashOf(path, &values[i], stop);
            QMetaObject::invokeMethod(
                this, [this, i, ok] { done(i, ok); }, Qt::QueuedConnection);
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
        emit finished(true, -1);
    }
}
