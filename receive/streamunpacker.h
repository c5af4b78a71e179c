#ifndef STREAMUNPACKER_H
#define STREAMUNPACKER_H

#include "protocol/contenthash.h"
#include "protocol/streamreader.h"
#include "receive/storedentry.h"
#include "settings/settingskeys.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QSet>
#include <QString>

#include <memory>

class HashCache;
class QIODevice;

// Stores an item stream below the save folder while it arrives: each folder record is made and
// each file written under a temporary name that no record can take, put in place only when its
// record is whole. The first record that cannot be stored ends the unpacking, so that the
// transfer can be stopped at once rather than run on to an end that cannot be complete.
// A top-level item (the first part of a record's name) whose name is taken in the save folder
// is replaced, stored under a free name, or skipped, as the name-clash rule says; the records
// below it follow it.
// An extended transfer hands its items in one by one instead, through the same checks: each file
// written to a hidden partial file beside its final path, hashed on the way and put in place only
// when its hash is the one announced. A cut leaves that partial file for the next transfer.
class StreamUnpacker : private StreamReader::Handler
{
public:
    using Status = StoredEntry::Status;
    using Clash = StoredEntry::Clash;
    using Entry = StoredEntry;

    struct Result
    {
        QList<Entry> entries;
        // The end marker was read, nothing followed it, and every record was stored.
        bool complete = false;
    };

    explicit StreamUnpacker(const QString &saveDir);
    ~StreamUnpacker() override;

    // False once unpacking has ended in a failure; what was stored before stays.
    bool feed(const char *data, qint64 length);
    bool feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }
    // The input has ended: a record still being read is dropped and reported incomplete.
    void finish();

    bool atEnd() const { return reader.atEnd(); }
    bool failed() const { return hasFailed; }
    bool complete() const { return reader.atEnd() && !hasFailed; }
    // Bytes of file contents taken so far.
    qint64 dataBytes() const { return data; }
    // A file could not be written because the save folder's disk is full.
    bool diskFull() const { return noSpace; }
    // The entries added since the last call.
    QList<Entry> takeEntries();

    // More records than this end the unpacking as invalid: the user accepted that count.
    void setRecordLimit(int records) { recordLimit = records; }
    // More file contents than this end the unpacking as invalid: the size the user accepted.
    void setDataLimit(qint64 bytes) { dataLimit = bytes; }
    // Absolute paths no record may be stored at: the program's own files.
    void setProtectedPaths(const QStringList &paths) { protectedPaths = paths; }
    void setNameClash(SettingsKeys::NameClash rule) { clashRule = rule; }

    // Reads the whole device.
    static Result unpack(const QString &saveDir, QIODevice *stream);

    // Where a record of `name` would be stored were no name-clash rule applied; empty when it
    // may not be stored at all. Changes nothing on disk, but remembers the folders it found to be
    // inside the save folder, so that a deep tree is checked in linear time: one thread at a time.
    QString pathFor(const QString &name);
    // The hidden file beside `path` that an extended transfer writes it to.
    static QString partialPathOf(const QString &path);

    // Top-level names that continue an earlier transfer, to the names that transfer stored them
    // under: they are stored there whatever the name-clash rule says.
    void setContinuations(const QHash<QString, QString> &tops) { continued = tops; }
    // Where the hashes of verified files are remembered; none by default.
    void setHashCache(HashCache *cache) { verified = cache; }

    // An extended transfer's items, in its order.
    bool addFolder(const QString &name) { return folder(name); }
    bool addUnchanged(const QString &name);
    // From `offset` on when that many bytes are in the partial file already and `prefix` is
    // their hash, else from the start.
    bool beginFile(const QString &name, qint64 size, qint64 offset, const ContentHash &prefix);
    bool addData(const char *bytes, qint64 length) { return fileData(bytes, length); }
    bool endFile(const ContentHash::Value &expected);
    // Ends the unpacking with an invalid entry: the body around the items was framed wrongly.
    void reject(const QString &name) { add(name, QString(), StoredEntry::Invalid); }
    // The final path of the file begun last.
    QString storingPath() const { return filePath; }
    // Bytes of the file that finish() left in its partial file; -1 when it left none.
    qint64 keptBytes() const { return kept; }

private:
    bool folder(const QString &name) override;
    bool fileBegin(const QString &name, qint64 size) override;
    bool fileData(const char *bytes, qint64 length) override;
    bool fileEnd() override;
    bool placeFile(const QString &name, qint64 size, bool *result);

    Status check(const QString &name, QString *path);
    Status place(const QString &name, bool isFile, QString *path, Clash *clash, bool *skip);
    QString freeName(const QString &top, bool isFile) const;
    QString relativeOf(const QString &path) const;
    bool isProtected(const QString &path) const;
    bool add(const QString &name, const QString &path, Status status,
             Clash clash = StoredEntry::NoClash);

    StreamReader reader;
    QString saveDir;
    QString canonicalSave;
    // Folders below the save folder known to be real folders inside it: records inside them
    // need only their own last part checked, which keeps deep trees linear.
    QSet<QString> knownFolders;
    class PartFile;
    std::unique_ptr<PartFile> file;
    QString fileName;
    QString filePath;
    QList<Entry> pending;
    qint64 data = 0;
    bool hasFailed = false;
    bool noSpace = false;
    bool discarding = false;              // the file being read belongs to a skipped item
    std::unique_ptr<ContentHash> hashing; // of the extended file being written
    qint64 fileSize = 0;
    qint64 kept = -1;
    QHash<QString, QString> continued;
    HashCache *verified = nullptr;
    SettingsKeys::NameClash clashRule = SettingsKeys::NameClash::Overwrite;
    // Each top-level name met so far, to the name it is stored under; empty when skipped.
    QHash<QString, QString> tops;
    QSet<QString> usedTops;
    Clash fileClash = StoredEntry::NoClash;
    int recordLimit = -1;
    qint64 dataLimit = -1;
    qint64 announced = 0; // file sizes of the records begun so far
    QStringList protectedPaths;
};

#endif // STREAMUNPACKER_H
