#include "send/sendpacker.h"

#include "protocol/streamwriter.h"
#include "send/packprogress.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

constexpr QDir::SortFlags byName = QDir::Name | QDir::IgnoreCase;

// The item's path below `baseDir`, the folder that holds the dropped entry it came with.
QString relativeName(const QString &path, const QString &baseDir)
{
    const QString prefix =
        baseDir.endsWith(QLatin1Char('/')) ? baseDir : baseDir + QLatin1Char('/');
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

} // namespace

QList<QFileInfo> SendPacker::listFolder(const QString &path)
{
    QSet<QString> visited{QFileInfo(path).canonicalFilePath()};
    QList<QFileInfo> result;
    listTree(path, visited, result);
    return result;
}

void SendPacker::listTree(const QString &path, QSet<QString> &visited, QList<QFileInfo> &out,
                          const std::atomic<bool> *cancelled)
{
    if (cancelled && cancelled->load())
        return;
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
    for (const QFileInfo &subfolder : qAsConst(subfolders))
        listTree(subfolder.absoluteFilePath(), visited, out, cancelled);
}

bool SendPacker::collect(const QStringList &paths, const std::atomic<bool> *cancelled)
{
    collected.clear();
    topLevel = 0;
    total = 0;
    body = QByteArrayLiteral("OVER\r\n").size();
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
            listTree(info.absoluteFilePath(), visited, tree, cancelled);
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
    if (!StreamWriter::isValidName(item.name))
        return fail(InvalidName, item.name);
    if (item.info.isFile()) {
        if (item.info.size() > StreamWriter::maxFileSize)
            return fail(TooLarge, item.name);
        if (!item.info.isReadable())
            return fail(SourceUnreadable, item.name);
    }
    return true;
}

bool SendPacker::write(const QString &path, PackProgress *progress,
                       const std::atomic<bool> *cancelled)
{
    lastError = NoError;
    failedName.clear();

    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(WriteFailed, QString());
    StreamWriter writer(&out);
    // The send thread reads the file as it grows; it must find on disk what it is told of.
    constexpr qint64 publishEvery = 256 * 1024;
    qint64 published = 0;
    writer.setPieceWritten([&] {
        if (cancelled && cancelled->load())
            return false;
        if (progress && out.pos() - published >= publishEvery) {
            if (!out.flush())
                return false;
            published = out.pos();
            progress->publish(published);
        }
        return true;
    });
    for (const Item &item : qAsConst(collected)) {
        const QFileInfo now(item.info.absoluteFilePath());
        bool written = false;
        if (item.info.isDir()) {
            if (!now.isDir())
                return fail(SourceUnreadable, item.name);
            written = writer.writeFolder(item.name);
        } else {
            if (!now.isFile())
                return fail(SourceUnreadable, item.name);
            // The request announces the sizes taken when the drop was collected.
            if (now.size() != item.info.size())
                return fail(SourceChanged, item.name);
            written = writer.writeFile(item.name, item.info.absoluteFilePath());
        }
        if (!written) {
            switch (writer.error()) {
            case StreamWriter::InvalidName:
                return fail(InvalidName, item.name);
            case StreamWriter::TooLarge:
                return fail(TooLarge, item.name);
            case StreamWriter::SourceChanged:
                return fail(SourceChanged, item.name);
            case StreamWriter::WriteFailed:
                return fail(WriteFailed, QString());
            case StreamWriter::Cancelled:
                return fail(cancelled && cancelled->load() ? Cancelled : WriteFailed, QString());
            case StreamWriter::NoError:
            case StreamWriter::SourceUnreadable:
                return fail(SourceUnreadable, item.name);
            }
        }
    }
    if (!writer.writeEnd())
        return fail(cancelled && cancelled->load() ? Cancelled : WriteFailed, QString());
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail(WriteFailed, QString());
    // Every record was checked against its listed size, so this holds unless the disk lied.
    if (out.size() != body)
        return fail(WriteFailed, QString());
    if (progress)
        progress->publish(body);
    return true;
}

bool SendPacker::fail(Error error, const QString &name)
{
    lastError = error;
    failedName = name;
    return false;
}
