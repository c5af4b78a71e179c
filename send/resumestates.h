#ifndef RESUMESTATES_H
#define RESUMESTATES_H

#include "protocol/contenthash.h"

#include <QHash>
#include <QString>

#include <mutex>

// The sender's hashing state of a file at each resume step it sent past, by the file's path and
// version, so that a receiver's "R index offset" continues without the kept part being read
// again. Kept for the program's run; the records store will keep them across runs.
class ResumeStates
{
public:
    static ResumeStates &shared();

    void save(const QString &path, quint64 version, const ContentHash &state);
    // The state after the first `offset` bytes of that version; false when none was saved.
    bool find(const QString &path, quint64 version, qint64 offset, ContentHash *state) const;

private:
    mutable std::mutex mutex;
    // Only the latest version of a path is kept: an older one can never be resumed.
    struct Saved
    {
        quint64 version = 0;
        QHash<qint64, ContentHash> states;
    };
    QHash<QString, Saved> saved;
};

#endif // RESUMESTATES_H
