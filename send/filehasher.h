#ifndef FILEHASHER_H
#define FILEHASHER_H

#include "protocol/contenthash.h"
#include "protocol/handover.h"

#include <QObject>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

#include <atomic>

// Hashes a list of files a few at once, through the hash cache, in a pool of its own:
// reading many small files waits on the disk more than it reads. Reports in the thread it
// lives in, once every file is done or the first could not be read.
class FileHasher : public QObject
{
    Q_OBJECT

public:
    static constexpr int readers = 4;

    explicit FileHasher(QObject *parent = nullptr);
    ~FileHasher() override; // stops the readers and waits for them

    void start(const QStringList &paths);
    void cancel() { stop = true; }
    // In the order of the paths, once finished() said ok.
    const QVector<ContentHash::Value> &values() const { return hashes; }

signals:
    // `failed` is the index of a file that could not be read whole, or -1.
    void finished(bool ok, int failed);

private:
    void done(int index, bool ok);

    QThreadPool pool;
    HandOver fromReaders; // in this object's thread
    std::atomic<bool> stop{false};
    QVector<ContentHash::Value> hashes;
    int left = 0;
    bool reported = false;
};

#endif // FILEHASHER_H
