#ifndef SENDPACKER_H
#define SENDPACKER_H

#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>

class PackProgress;
class QUrl;

// Turns one drop into an item stream: collects the dropped folder with its tree, or the
// dropped files, names every item relative to the folder the dropped items lie in, checks that
// each can be carried, and writes them all to the work file. Keeps the counts the request
// carries.
class SendPacker
{
public:
    enum Error {
        NoError,
        NoItems,          // no dropped entry is a local folder or file
        InvalidName,      // a name the stream cannot carry (CR, LF, NUL, white space at its ends)
        TooLarge,         // a file of 4 GiB or more
        SourceUnreadable, // a file that cannot be opened or read, or that vanished
        SourceChanged,    // a file whose size changed while it was packed
        WriteFailed,      // the work file could not be written
        DuplicateName,    // two dropped entries of one name; the receiver would keep one
        Cancelled         // packing was stopped
    };

    struct Item
    {
        QFileInfo info;
        QString name;
    };

    // Every file and subfolder below `path` in sending order: the folder's files (hidden ones
    // too, links to files not), then its subfolders (hidden ones not), then the tree of each
    // subfolder in turn. Each real folder is entered once, so a linked folder that leads back
    // into the tree ends the descent.
    static QList<QFileInfo> listFolder(const QString &path);

    // Takes the dropped local paths in order. Entries that are neither a folder nor a file are
    // skipped. False when nothing was taken or an item cannot be carried; nothing is written.
    // `cancelled` is looked at between folders, so that a huge tree can be given up.
    bool collect(const QStringList &paths, const std::atomic<bool> *cancelled = nullptr);
    // Writes the collected items and the end marker to `path`, replacing the file. Each piece
    // is on disk before `progress` hears of it; `cancelled` is looked at between pieces.
    bool write(const QString &path, PackProgress *progress = nullptr,
               const std::atomic<bool> *cancelled = nullptr);

    const QList<Item> &items() const { return collected; }
    int filesNumber() const { return topLevel; }
    int itemsNumber() const { return collected.size(); }
    qint64 totalSize() const { return total; }
    // The length of the item stream the collected items make, known before it is written.
    qint64 bodySize() const { return body; }
    // Name and kind ("folder" or "file") of the last dropped entry taken.
    QString fileName() const { return lastName; }
    QString fileType() const { return lastType; }

    Error error() const { return lastError; }
    // The name of the item the error is about (empty for NoItems and the work file).
    QString failedItem() const { return failedName; }

private:
    static void listTree(const QString &path, QSet<QString> &visited, QList<QFileInfo> &out,
                         const std::atomic<bool> *cancelled = nullptr);
    bool check(const Item &item);
    bool fail(Error error, const QString &name);

    QList<Item> collected;
    int topLevel = 0;
    qint64 total = 0;
    qint64 body = 0;
    QString lastName;
    QString lastType;
    Error lastError = NoError;
    QString failedName;
};

#endif // SENDPACKER_H
