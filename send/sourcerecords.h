#ifndef SOURCERECORDS_H
#define SOURCERECORDS_H

#include "protocol/contenthash.h"

#include <QHash>
#include <QString>

#include <mutex>

// What the sender knows of its source files by path and version (FileVersion): the whole file's
// hash, and the hashing state at each resume step it sent past. A resend then names a file's
// hash without reading it, and a receiver's "R" continues without the kept part being read
// again. Nothing is trusted for another version, so that a file rewritten with its time set back
// is never taken for the one hashed before. Kept for the program's run; the records store keeps
// them across runs.
class SourceRecords
{
public:
    static SourceRecords &shared();

    bool hash(const QString &path, quint64 version, ContentHash::Value *hash) const;
    void storeHash(const QString &path, quint64 version, const ContentHash::Value &hash);
    void saveState(const QString &path, quint64 version, const ContentHash &state);
    // The state after the first `offset` bytes of that version; false when none was saved.
    bool findState(const QString &path, quint64 version, qint64 offset, ContentHash *state) const;

private:
    // Only the latest version of a path is kept: an older one is never asked for again.
    struct Entry
    {
        quint64 version = 0;
        bool hashed = false;
        ContentHash::Value hash;
        QHash<qint64, ContentHash> states;
    };
    Entry &entryFor(const QString &path, quint64 version);
    const Entry *find(const QString &path, quint64 version) const;

    mutable std::mutex mutex;
    QHash<QString, Entry> entries;
};

#endif // SOURCERECORDS_H
