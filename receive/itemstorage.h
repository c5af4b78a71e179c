#ifndef ITEMSTORAGE_H
#define ITEMSTORAGE_H

#include "receive/filewriter.h"
#include "receive/savefolder.h"
#include "receive/storedentry.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

// Stores a transfer's records one by one where the save folder's policy puts them, with the
// checks both bodies share: the records and bytes the user accepted, one file written at a time,
// a full disk. The first record that cannot be stored ends the storing, so that the transfer can
// be stopped at once rather than run on to an end that cannot be complete.
class ItemStorage
{
public:
    // How a file is written: to a temporary name, or to its partial file from `offset` on,
    // told to `listed` with its final path before its first byte and to `saved` at each step.
    struct Partial
    {
        qint64 offset = 0;
        ContentHash kept;
        qint64 step = 0;
        std::function<void(const QString &path)> listed;
        std::function<void(const QString &path, qint64 offset, const ContentHash &hash)> saved;
    };

    explicit ItemStorage(const SaveFolder &folder);

    SaveFolder &folder() { return policy; }
    void setRecordLimit(int records) { recordLimit = records; }
    void setDataLimit(qint64 bytes) { dataLimit = bytes; }
    // Whether files written to a temporary name keep their zero blocks as holes.
    void setKeepHoles(bool keep) { keepHoles = keep; }

    bool addFolder(const QString &name);
    // False when storing failed; true also when the file is read past (its item is skipped).
    bool beginFile(const QString &name, qint64 size, const Partial *partial = nullptr);
    bool addData(const char *data, qint64 length);
    bool endFile();
    // A file identical here already: nothing is written. One at the top gets an entry that says
    // so; those inside a folder are only counted, as a resend of a large tree would otherwise hand
    // each on to be listed.
    void addUnchanged(const QString &name, const QString &path);
    // Ends storing with a failed entry.
    bool fail(const QString &name, StoredEntry::Status status);
    // The input ended early; the file being written is kept when it is a partial one.
    qint64 cut(const QString &name);
    // Drops the file being written.
    void dropFile();

    // The file begun last, when it is being written.
    FileWriter *writer() const { return file.get(); }
    QString filePath() const { return path; }
    QString fileName() const { return name; }
    void note(const StoredEntry &entry) { pending.append(entry); }

    bool failed() const { return hasFailed; }
    bool diskFull() const { return noSpace; }
    QString failure() const;
    qint64 dataBytes() const { return data; }
    QList<StoredEntry> takeEntries();
    int takeUnchanged();

private:
    bool countRecord(const QString &name);
    bool add(const QString &name, const QString &path, StoredEntry::Status status,
             StoredEntry::Clash clash = StoredEntry::NoClash);

    SaveFolder policy;
    std::unique_ptr<FileWriter> file;
    QString name;
    QString path;
    StoredEntry::Clash clash = StoredEntry::NoClash;
    bool discarding = false; // the file being read is not written
    bool keepHoles = false;
    QList<StoredEntry> pending;
    int unchangedBelow = 0; // files inside folders, since the last take
    StoredEntry lastFailure;
    int records = 0;
    int recordLimit = -1;
    qint64 dataLimit = -1;
    qint64 announced = 0; // file sizes of the records begun so far
    qint64 data = 0;
    bool hasFailed = false;
    bool noSpace = false;
};

#endif // ITEMSTORAGE_H
