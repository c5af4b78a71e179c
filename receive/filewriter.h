#ifndef FILEWRITER_H
#define FILEWRITER_H

#include "protocol/contenthash.h"

#include <QByteArray>
#include <QString>

#include <functional>

// Writes one received file beside its final path and hashes it on the way; commit() puts it in
// place with one rename, so that neither a cut nor a failed write leaves something that looks
// like the whole file, and a hard link to the old file keeps the old contents.
//
// A file that cannot be continued later is written without a name where the file system allows
// (so that nothing of it outlives the process), else under a temporary name that no record can
// take; either way it is gone unless committed.
// An extended file goes to its partial file, which outlives a cut: at each multiple of the step
// the hash state is handed to checkpoint(), and a cut or a failed write leaves the file cut back
// to the last such offset. Its aligned all-zero blocks are skipped rather than written (also in a
// temporary file when asked), so that a sparse file stays sparse.
//
// Files are made as any program makes them (mode 0666 less the umask), never through a link.
class FileWriter
{
public:
    using Checkpoint = std::function<void(qint64 offset, const ContentHash &hash)>;
    static constexpr qint64 blockSize = 4096;

    explicit FileWriter(const QString &finalPath);
    ~FileWriter(); // a temporary file goes, a partial one is kept
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    bool openTemporary(bool keepHoles = false);
    // From `offset` bytes kept, whose hash `kept` carries on; from nothing when `offset` is 0.
    bool openPartial(qint64 offset, const ContentHash &kept, qint64 step, Checkpoint checkpoint);

    // A short write is tried again, so that a full disk shows as such.
    bool write(const char *data, qint64 length);
    ContentHash::Value hash() const { return hashing.value(); }
    qint64 size() const { return logical; }
    bool diskFull() const { return noSpace; }

    bool commit();
    // Removes the file.
    void cancel();
    // A partial file cut back to the last checkpoint and left for a later transfer; that offset,
    // or 0 when nothing of it stays.
    qint64 keep();

private:
    bool writeThrough(const char *data, qint64 length);
    bool writeBlocks(const char *data, qint64 length);
    bool writeOut(const char *data, qint64 length);
    bool flushTail();
    bool openNamed(const QString &folder);
    bool giveName();
    bool fail();
    void closeFile();

    const QString finalPath;
    QString filePath; // empty while the file has no name
    int fd = -1;
    bool partial = false;
    bool sparse = false;     // zero blocks become holes
    bool endsInHole = false; // the last blocks were seeked over, not written
    bool noSpace = false;
    ContentHash hashing;
    qint64 logical = 0; // bytes taken, holes included
    qint64 saved = 0;   // the last checkpoint
    qint64 step = 0;
    Checkpoint checkpoint;
    QByteArray tail; // bytes short of a whole block, held to keep blocks aligned
};

#endif // FILEWRITER_H
