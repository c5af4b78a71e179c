#ifndef HASHCHECKPOINTS_H
#define HASHCHECKPOINTS_H

#include "protocol/contenthash.h"
#include "protocol/extendedprotocol.h"

#include <QString>

class RecordStore;

// The hash state of a file being sent, kept at each multiple of `step` by path and version, so
// that a resumed transfer continues the whole file's hash without reading what went before.
class HashCheckpoints
{
public:
    static constexpr qint64 step = ExtendedProtocol::resumeStep;
    // States of files not sent for this long go.
    static constexpr qint64 maxAgeMs = qint64(7) * 24 * 60 * 60 * 1000;

    explicit HashCheckpoints(RecordStore &store);

    // Keeps `state` at the offset it stands at, which must be a positive multiple of `step`;
    // states of the path's other versions go.
    bool save(const QString &path, quint64 version, const ContentHash &state);
    // The state kept furthest into the file at or before `offset`; the caller reads on from its
    // bytes() to `offset`. False when none is kept (the caller hashes from the start).
    bool find(const QString &path, quint64 version, qint64 offset, ContentHash *state) const;
    void drop(const QString &path);

private:
    RecordStore &records;
};

#endif // HASHCHECKPOINTS_H
