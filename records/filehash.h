#ifndef FILEHASH_H
#define FILEHASH_H

#include "protocol/contenthash.h"

#include <QString>

#include <atomic>

// Feeds a content hash from a file on disk, so that the wire classes never read files.
class FileHash
{
public:
    // Feeds `hash` with the file's bytes from where the hash stands (its bytes() so far) up to
    // `length` (to the file's end when -1). False when the file cannot be read that far, or when
    // `cancelled` was set on the way.
    static bool feed(ContentHash *hash, const QString &path, qint64 length = -1,
                     const std::atomic<bool> *cancelled = nullptr);
};

#endif // FILEHASH_H
