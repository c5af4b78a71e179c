#ifndef SENDPACKER_H
#define SENDPACKER_H

#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>

// Lists one drop: collects the dropped folder with its tree, or the dropped files, names every
// item relative to the folder the dropped items lie in and checks that each can be carried. Keeps
// the counts the request carries and the length of the item stream that StreamSender then makes
// of the list.
class SendPacker
{
public:
    enum Error {
        NoError,
        NoItems,          // no dropped entry is a local folder or file
        InvalidName,      // a name the stream cannot carry (CR, LF, NUL, white space at its ends)
        TooLarge,         // a file of 4 GiB or more, toward a receiver of the plain protocol
        SourceUnreadable, // a file that cannot be read
        Unlistable,       // a folder whose entries cannot be read (no permission)
        DuplicateName,    // two dropped entries of one name; the receiver would keep one
        Cancelled         // listing was stopped
    };

    struct Item
    {
        QString path; // absolute
        QString name; // what the receiver calls it
        qint64 size = 0;
        bool isDir = false;
    };

    // Every file and subfolder below `path` in sending order: the folder's files (hidden ones
    // too, links to files not), then its subfolders (hidden ones not), then the tree of each
    // subfolder in turn. Each real folder is entered once, so a linked folder that leads back
    // into the tree ends the descent. Named below `path`'s parent folder.
    static QList<Item> listFolder(const QString &path);

    // Takes the dropped local paths in order. Entries that are neither a folder nor a file are
    // skipped. False when nothing was taken or an item cannot be carried. `cancelled` is looked
    // at between folders, so that a huge tree can be given up.
    bool collect(const QStringList &paths, const std::atomic<bool> *cancelled = nullptr);

    const QList<Item> &items() const { return collected; }
    int filesNumber() const { return topLevel; }
    int itemsNumber() const { return collected.size(); }
    qint64 totalSize() const { return total; }
    // The length of the item stream the collected items make, known before it is sent.
    qint64 bodySize() const { return body; }
    // The largest file taken and its name: only the extended protocol carries 4 GiB and more.
    qint64 largestFileSize() const { return largestSize; }
    QString largestFileName() const { return largestName; }
    // Hidden folders and links to files below the dropped folders, which are not taken.
    int leftOut() const { return skipped; }
    // Name and kind ("folder" or "file") of the last dropped entry taken.
    QString fileName() const { return lastName; }
    QString fileType() const { return lastType; }

    Error error() const { return lastError; }
    // The name of the item the error is about (empty for NoItems).
    QString failedItem() const { return failedName; }

private:
    // False when a folder of the tree cannot be listed; `unlistable` then holds its path.
    struct Walk
    {
        QSet<QString> visited;
        const std::atomic<bool> *cancelled = nullptr;
        QString unlistable; // the folder that could not be listed
        QString baseDir;    // names are below this folder
        int leftOut = 0;
    };
    static bool listTree(const QString &path, Walk &walk, QList<Item> &out);
    static Item itemOf(const QFileInfo &info, const QString &baseDir);
    bool tally();
    bool check(const Item &item);
    bool fail(Error error, const QString &name);

    QList<Item> collected;
    int topLevel = 0;
    int skipped = 0;
    qint64 total = 0;
    qint64 body = 0;
    qint64 largestSize = -1;
    QString largestName;
    QString lastName;
    QString lastType;
    Error lastError = NoError;
    QString failedName;
};

#endif // SENDPACKER_H
