#include "send/sendpacker.h"

#include "protocol/itemname.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace {

constexpr QDir::SortFlags byName = QDir::Name | QDir::IgnoreCase;

// The item's path below `baseDir`, the folder that holds the dropped entry it came with.
QString relativeName(const QString &path, const QString &baseDir)
{
    const QString prefix =
        baseDir.endsWith(QLatin1Char('/')) ? baseDir : baseDir + QLatin1Char('/');
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

// QDir lists a folder it may not read as empty; such a folder must not go out as if it were.
bool canList(const QString &path)
{
#ifdef Q_OS_UNIX
    DIR *dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir)
        return false;
    ::closedir(dir);
    return true;
#else
    return QFileInfo(path).isReadable();
#endif
}

} // namespace

QList<SendPacker::Item> SendPacker::listFolder(const QString &path)
{
    Walk walk;
    walk.baseDir = QFileInfo(path).absoluteFilePath();
    walk.visited.insert(QFileInfo(path).canonicalFilePath());
    QList<Item> result;
    listTree(path, walk, result);
    return result;
}

SendPacker::Item SendPacker::itemOf(const QFileInfo &info, const QString &baseDir)
{
    const QString path = info.absoluteFilePath();
    const bool isDir = info.isDir();
    return Item{path, relativeName(path, baseDir), isDir ? 0 : info.size(), isDir};
}

// Each entry is taken down as a small item at once, not kept as a QFileInfo, which holds far
// more: a tree of many files is listed in a fraction of the memory.
bool SendPacker::listTree(const QString &path, Walk &walk, QList<Item> &out)
{
    if (walk.cancelled && walk.cancelled->load())
        return true;
    if (!canList(path)) {
        walk.unlistable = path;
        return false;
    }
    QStringList subfolders;
    {
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, byName);
        QList<Item> folders;
        for (const QFileInfo &entry : entries) {
            if (!entry.isDir()) {
                if (entry.isSymLink())
                    ++walk.leftOut;
                else
                    out << itemOf(entry, walk.baseDir);
                continue;
            }
            if (entry.isHidden()) {
                ++walk.leftOut;
                continue;
            }
            // Linked folders are followed, but a real folder only once: a link back into the
            // tree would otherwise recurse without end.
            const QString real = entry.canonicalFilePath();
            if (real.isEmpty() || walk.visited.contains(real))
                continue;
            walk.visited.insert(real);
            folders << itemOf(entry, walk.baseDir);
            subfolders << folders.last().path;
        }
        out += folders;
    }
    for (const QString &subfolder : qAsConst(subfolders)) {
        if (!listTree(subfolder, walk, out))
            return false;
    }
    return true;
}

bool SendPacker::collect(const QStringList &paths, const std::atomic<bool> *cancelled)
{
    collected.clear();
    topLevel = 0;
    skipped = 0;
    total = 0;
    body = QByteArrayLiteral("OVER\r\n").size();
    largestSize = -1;
    largestName.clear();
    lastError = NoError;
    failedName.clear();

    Walk walk;
    walk.cancelled = cancelled;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        walk.baseDir = info.absolutePath();
        if (info.isDir()) {
            ++topLevel;
            lastType = QStringLiteral("folder");
            lastName = info.fileName();
            collected << itemOf(info, walk.baseDir);
            walk.visited.insert(info.canonicalFilePath());
            if (!listTree(info.absoluteFilePath(), walk, collected))
                return fail(Unlistable, relativeName(walk.unlistable, walk.baseDir));
            skipped = walk.leftOut;
        } else if (info.isFile()) {
            ++topLevel;
            lastType = QStringLiteral("file");
            lastName = info.fileName();
            collected << itemOf(info, walk.baseDir);
        } else {
            qDebug() << "拖拽错误" << path;
        }
    }
    if (cancelled && cancelled->load())
        return fail(Cancelled, QString());
    if (collected.isEmpty())
        return fail(NoItems, QString());

    return tally();
}

// Checks every item and adds up the counts and lengths the request carries.
bool SendPacker::tally()
{
    QSet<QString> names;
    for (const Item &item : qAsConst(collected)) {
        if (!check(item))
            return false;
        if (names.contains(item.name))
            return fail(DuplicateName, item.name);
        names.insert(item.name);
        const qint64 nameBytes = item.name.toUtf8().size();
        if (!item.isDir) {
            const qint64 size = item.size;
            total += size;
            if (size > largestSize) {
                largestSize = size;
                largestName = item.name;
            }
            body += nameBytes + QByteArrayLiteral("\r\nfile\r\n").size() +
                    QByteArray::number(size).size() + 2 + size +
                    QByteArrayLiteral("File end\r\n").size();
        } else {
            body += nameBytes + QByteArrayLiteral("\r\nfolder\r\n").size();
        }
    }
    return true;
}

bool SendPacker::check(const Item &item)
{
    if (!ItemName::isValid(item.name))
        return fail(InvalidName, item.name);
    if (!item.isDir && !QFileInfo(item.path).isReadable())
        return fail(SourceUnreadable, item.name);
    return true;
}

bool SendPacker::fail(Error error, const QString &name)
{
    lastError = error;
    failedName = name;
    return false;
}
