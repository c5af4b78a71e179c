#include "records/filehash.h"

#include <QFile>

#include <limits>
#include <vector>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;

} // namespace

bool FileHash::feed(ContentHash *hash, const QString &path, qint64 length,
                    const std::atomic<bool> *cancelled)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    if (hash->bytes() > 0 && !file.seek(hash->bytes()))
        return false;
    qint64 left = length < 0 ? std::numeric_limits<qint64>::max() : length - hash->bytes();
    if (left < 0)
        return false;
    // No more than the file holds, plus a byte to see its end: most files are small, and a piece
    // of full size would be mapped and unmapped afresh for each of them.
    const qint64 bufferSize = qMin(pieceSize, qMin(left, file.size() - hash->bytes() + 1));
    std::vector<char> piece(static_cast<size_t>(qMax<qint64>(bufferSize, 1)));
    while (left > 0) {
        if (cancelled && *cancelled)
            return false;
        const qint64 got = file.read(piece.data(), qMin(left, qint64(piece.size())));
        if (got < 0)
            return false;
        if (got == 0)
            return length < 0;
        hash->add(piece.data(), got);
        left -= got;
    }
    return true;
}
