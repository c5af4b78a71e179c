#include "send/sendpacker.h"

#include "send/streamsender.h"

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
    QSet<QString> visited{QFileInfo(path).canonicalFilePath()};
    QList<QFileInfo> result;
    listTree(path, visited, result);
    return result;
}

bool SendPacker::listTree(const QString &path, QSet<QString> &visited, QList<QFileInfo> &out,
                          const std::atomic<bool> *cancelled, QString *unlistable)
{
    if (cancelled && cancelled->load())
        return true;
    if (!canList(path)) {
        if (unlistable)
            *unlistable = path;
        return false;
    }
    const QDir dir(path);
    out += dir.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden, byName);

    QList<QFileInfo> subfolders;
    const QFileInfoList entries = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, byName);
    for (const QFileInfo &entry : entries) {
        // Linked folders are followed, but a real folder only once: a link back into the tree
        // would otherwise recurse without end.
        const QString real = entry.canonicalFilePath();
        if (real.isEmpty() || visited.contains(real))
            continue;
        visited.insert(real);
        subfolders << entry;
    }
    out += subfolders;
    for (const QFileInfo &subfolder : qAsConst(subfolders)) {
        if (!listTree(subfolder.absoluteFilePath(), visited, out, cancelled, unlistable))
            return false;
    }
    return true;
}

bool SendPacker::collect(const QStringList &paths, const std::atomic<bool> *cancelled)
{
    collected.clear();
    topLevel = 0;
    total = 0;
    body = QByteArrayLiteral("OVER\r\n").size();
    largestSize = -1;
    largestName.clear();
    lastError = NoError;
    failedName.clear();

    QSet<QString> visited;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QString baseDir = info.absolutePath();
        if (info.isDir()) {
            ++topLevel;
            lastType = QStringLiteral("folder");
            lastName = info.fileName();
            collected << Item{info, relativeName(info.absoluteFilePath(), baseDir)};
            visited.insert(info.canonicalFilePath());
            QList<QFileInfo> tree;
            QString unlistable;
            if (!listTree(info.absoluteFilePath(), visited, tree, cancelled, &unlistable))
                return fail(Unlistable, relativeName(unlistable, baseDir));
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
    if (!StreamSender::isValidName(item.name))
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
