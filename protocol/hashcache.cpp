#include "protocol/hashcache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const QByteArray magic = QByteArrayLiteral("nubo-hashes 1\n");

} // namespace

HashCache::HashCache(const QString &fileName) : path(QFileInfo(fileName).absoluteFilePath()) {}

HashCache &HashCache::shared()
{
    static HashCache cache(fileName());
    return cache;
}

qint64 HashCache::modified(const QString &file)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(file).constData(), &status) != 0)
        return -1;
    return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
#else
    return QFileInfo(file).lastModified().toMSecsSinceEpoch() * 1000000;
#endif
}

bool HashCache::plainFile(const QString &file, qint64 *size, qint64 *time)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::lstat(QFile::encodeName(file).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    *size = status.st_size;
    *time = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return true;
#else
    const QFileInfo info(file);
    if (!info.isFile() || info.isSymLink())
        return false;
    *size = info.size();
    *time = modified(file);
    return true;
#endif
}

bool HashCache::hashOf(const QFileInfo &info, ContentHash::Value *hash,
                       const std::atomic<bool> *cancelled)
{
    const QString file = info.absoluteFilePath();
    const qint64 size = info.size();
    const qint64 time = modified(file);
    if (time >= 0 && lookup(file, size, time, hash))
        return true;
    ContentHash contents;
    if (!contents.addFile(file, -1, cancelled) || contents.bytes() != size)
        return false;
    *hash = contents.value();
    // A file that changed while it was read has another time now, and is not remembered.
    if (time >= 0 && modified(file) == time)
        store(file, size, time, *hash);
    return true;
}

bool HashCache::lookup(const QString &file, qint64 size, qint64 time, ContentHash::Value *hash)
{
    const std::lock_guard<std::mutex> lock(mutex);
    load();
    const auto found = entries.find(file);
    if (found == entries.end() || found->size != size || found->modified != time)
        return false;
    found->used = ++uses;
    *hash = found->hash;
    return true;
}

void HashCache::store(const QString &file, qint64 size, qint64 time, const ContentHash::Value &hash)
{
    // One entry is one line.
    if (file.contains(QLatin1Char('\n')) || file.contains(QLatin1Char('\r')))
        return;
    const std::lock_guard<std::mutex> lock(mutex);
    load();
    entries.insert(file, Entry{size, time, hash, ++uses});
    changed = true;
}

// One line per entry: size, time, hash and path, separated by single spaces; the path is last and
// may hold spaces of its own.
void HashCache::load()
{
    if (loaded)
        return;
    loaded = true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.readLine() != magic)
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // cut short: what came before stands
        const QList<QByteArray> fields = line.left(line.size() - 1).split(' ');
        if (fields.size() < 4)
            continue;
        bool sizeOk = false;
        bool timeOk = false;
        Entry entry;
        entry.size = fields.at(0).toLongLong(&sizeOk);
        entry.modified = fields.at(1).toLongLong(&timeOk);
        if (!sizeOk || !timeOk || !ContentHash::Value::fromHex(fields.at(2), &entry.hash))
            continue;
        const int pathStart = fields.at(0).size() + fields.at(1).size() + fields.at(2).size() + 3;
        entry.used = ++uses;
        entries.insert(QString::fromUtf8(line.mid(pathStart, line.size() - 1 - pathStart)), entry);
    }
}

void HashCache::save()
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (!changed)
        return;
    std::vector<QHash<QString, Entry>::const_iterator> kept;
    kept.reserve(size_t(entries.size()));
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        kept.push_back(it);
    if (kept.size() > size_t(maxEntries)) {
        std::nth_element(kept.begin(), kept.begin() + maxEntries, kept.end(),
                         [](auto a, auto b) { return a->used > b->used; });
        kept.resize(size_t(maxEntries));
    }
    QByteArray text = magic;
    for (const auto &it : kept) {
        text += QByteArray::number(it->size) + ' ' + QByteArray::number(it->modified) + ' ' +
                it->hash.toHex() + ' ' + it.key().toUtf8() + '\n';
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        changed = false;
}
