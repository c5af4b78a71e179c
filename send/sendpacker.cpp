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

QList<QFileInfo> SendPacker::listFolder(const QString &path)
{
    Walk walk;
    walk.visited.insert(QFileInfo(path).canonicalFilePath());
    QList<QFileInfo> result;
    listTree(path, walk, result);
    return result;
}

bool SendPacker::listTree(const QString &path, Walk &walk, QList<QFileInfo> &out)
{
    if (walk.cancelled && walk.cancelled->load())
        return true;
    if (!canList(path)) {
        walk.unlistable = path;
        return false;
    }
    const QDir dir(path);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, byName);
    QList<QFileInfo> subfolders;
    for (const QFileInfo &entry : entries) {
        if (!entry.isDir()) {
            if (entry.isSymLink())
                ++walk.leftOut;
            else
                out << entry;
            continue;
        }
        if (entry.isHidden()) {
            ++walk.leftOut;
            continue;
        }
        // Linked folders are followed, but a real folder only once: a link back into the tree
        // would otherwise recurse without end.
        const QString real = entry.canonicalFilePath();
        if (real.isEmpty() || walk.visited.contains(real))
            continue;
        walk.visited.insert(real);
        subfolders << entry;
    }
    out += subfolders;
    for (const QFileInfo &subfolder : qAsConst(subfolders)) {
        if (!listTree(subfolder.absoluteFilePath(), walk, out))
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
        const QString baseDir = info.absolutePath();
        if (info.isDir()) {
            ++topLevel;
            lastType = QStringLiteral("folder");
            lastName = info.fileName();
            collected << Item{info, relativeName(info.absoluteFilePath(), baseDir)};
            walk.visited.insert(info.canonicalFilePath());
            QList<QFileInfo> tree;
            if (!listTree(info.absoluteFilePath(), walk, tree))
                return fail(Unlistable, relativeName(walk.unlistable, baseDir));
            skipped = walk.leftOut;
            for (const QFileInfo &entry : qAsConst(tree))
                collected << Item{entry, relativeName(entry.absoluteFilePath(), baseDir)};
        } else if (info.isFile()) {
            ++topLevel;
            lastType = QStringLiteral("file");
            lastName = info.fileName();
            collected << Item{info, relativeName(info.absoluteFilePath(), baseDir)};
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
        if (item.info.isFile()) {
            const qint64 size = item.info.size();
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
    if (item.info.isFile() && !item.info.isReadable())
        return fail(SourceUnreadable, item.name);
    return true;
}

bool SendPacker::fail(Error error, const QString &name)
{
    lastError = error;
    failedName = name;
    return false;
}
