#include "receive/filewriter.h"

#include "receive/savefolder.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;

// Each byte equal to the one before it, and the first zero.
bool isZero(const char *data, qint64 length)
{
    return data[0] == 0 && memcmp(data, data + 1, size_t(length - 1)) == 0;
}

// A name in `folder` that no record can take (see SaveFolder::isSafeName).
QString temporaryName(const QString &folder)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString name = QStringLiteral(".nubo-XXXXXX.part");
    for (int i = 6; i < 12; ++i)
        name[i] = QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
    return folder + name;
}

int openNew(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

} // namespace

FileWriter::FileWriter(const QString &finalPath) : finalPath(finalPath) {}

FileWriter::~FileWriter()
{
    if (fd < 0)
        return;
    if (partial)
        keep();
    else
        cancel();
}

bool FileWriter::openTemporary(bool keepHoles)
{
    if (QFileInfo(finalPath).isDir())
        return false;
    sparse = keepHoles;
    const QString folder = QFileInfo(finalPath).absolutePath() + QLatin1Char('/');
    // A file without a name vanishes with the process however it ends; it gets one at commit.
    // Linking it in goes through /proc, so without /proc it is made with a name from the start.
    static const bool canLink = ::access("/proc/self/fd", X_OK) == 0;
    if (canLink) {
        fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            return true;
    }
    return openNamed(folder);
}

bool FileWriter::openNamed(const QString &folder)
{
    // The random name is taken only if nothing has it yet.
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        filePath = temporaryName(folder);
        fd = openNew(filePath);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    return fd >= 0;
}

// The partial file is opened without following a link at its name; one found there when
// beginning anew is removed, not written through.
bool FileWriter::openPartial(qint64 offset, const ContentHash &kept, qint64 step,
                             Checkpoint checkpoint)
{
    if (QFileInfo(finalPath).isDir())
        return false;
    filePath = SaveFolder::partialPathOf(finalPath);
    partial = true;
    this->step = step;
    this->checkpoint = std::move(checkpoint);
    const QByteArray name = QFile::encodeName(filePath);
    if (offset == 0) {
        ::unlink(name.constData());
        fd = openNew(filePath);
        return fd >= 0;
    }
    fd = ::open(name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < offset ||
        ::ftruncate(fd, offset) != 0 || ::lseek(fd, offset, SEEK_SET) != offset) {
        closeFile();
        return false;
    }
    hashing = kept;
    logical = saved = offset;
    return true;
}

bool FileWriter::write(const char *data, qint64 length)
{
    if (fd < 0)
        return false;
    if (!partial && !sparse) {
        hashing.add(data, length);
        logical += length;
        return writeOut(data, length);
    }
    while (length > 0) {
        // A checkpoint falls between two calls of writeThrough, never inside one.
        const qint64 toStep = step > 0 ? step - logical % step : length;
        const qint64 take = qMin(length, toStep);
        if (!writeThrough(data, take))
            return false;
        data += take;
        length -= take;
        if (step > 0 && logical % step == 0 && logical > saved) {
            if (!flushTail() || ::fdatasync(fd) != 0)
                return fail();
            saved = logical;
            if (checkpoint)
                checkpoint(saved, hashing);
        }
    }
    return true;
}

bool FileWriter::writeThrough(const char *data, qint64 length)
{
    hashing.add(data, length);
    logical += length;
    if (!tail.isEmpty() || length < blockSize) {
        const qint64 fill = qMin(length, blockSize - tail.size());
        tail.append(data, int(fill));
        data += fill;
        length -= fill;
        if (tail.size() < blockSize)
            return true;
        const QByteArray block = std::move(tail);
        tail.clear();
        if (!writeBlocks(block.constData(), block.size()))
            return false;
    }
    const qint64 whole = length - length % blockSize;
    if (!writeBlocks(data, whole))
        return false;
    tail.append(data + whole, int(length - whole));
    return true;
}

// Runs of zero blocks become a seek, runs of others one write.
bool FileWriter::writeBlocks(const char *data, qint64 length)
{
    qint64 at = 0;
    while (at < length) {
        const bool zero = isZero(data + at, blockSize);
        qint64 end = at + blockSize;
        while (end < length && isZero(data + end, blockSize) == zero)
            end += blockSize;
        if (zero ? ::lseek(fd, end - at, SEEK_CUR) < 0 : !writeOut(data + at, end - at))
            return fail();
        endsInHole = zero;
        at = end;
    }
    return true;
}

bool FileWriter::writeOut(const char *data, qint64 length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(qMin(length, pieceSize)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail();
        data += written;
        length -= written;
    }
    return true;
}

bool FileWriter::flushTail()
{
    const QByteArray last = std::move(tail);
    tail.clear();
    endsInHole = endsInHole && last.isEmpty();
    return writeOut(last.constData(), last.size());
}

bool FileWriter::fail()
{
    noSpace = noSpace || errno == ENOSPC || errno == EDQUOT;
    return false;
}

bool FileWriter::commit()
{
    if (fd < 0)
        return false;
    // The size is set last: holes at the end were only seeks.
    const bool closed = flushTail() && (!(partial || endsInHole) || ::ftruncate(fd, logical) == 0);
    if (!closed)
        fail();
    const bool named = closed && (!filePath.isEmpty() || giveName());
    const bool ok = ::close(fd) == 0 && named;
    fd = -1;
    if (ok && filePath.isEmpty())
        return true; // linked in at its final name
    // rename(2) replaces the target in one step: the old file stays until the new is whole.
    if (ok && std::rename(QFile::encodeName(filePath).constData(),
                          QFile::encodeName(finalPath).constData()) == 0) {
        partial = false;
        return true;
    }
    // A partial file that could not be put in place stays listed; it is cut back when taken up.
    if (!partial && !filePath.isEmpty())
        ::unlink(QFile::encodeName(filePath).constData());
    return false;
}

// A file made without a name takes its final one when that is free, else a temporary name that
// is then renamed over the old file; link(2) never replaces nor follows what it finds.
bool FileWriter::giveName()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(finalPath).constData(),
                 AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        return fail();
    const QString folder = QFileInfo(finalPath).absolutePath() + QLatin1Char('/');
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = temporaryName(folder);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(name).constData(),
                     AT_SYMLINK_FOLLOW) == 0) {
            filePath = name;
            return true;
        }
        if (errno != EEXIST)
            return fail();
    }
    return false;
}

void FileWriter::cancel()
{
    closeFile();
    if (!filePath.isEmpty())
        ::unlink(QFile::encodeName(filePath).constData());
}

qint64 FileWriter::keep()
{
    if (fd < 0 || !partial)
        return 0;
    tail.clear();
    const bool cut = ::ftruncate(fd, saved) == 0;
    closeFile();
    if (cut && saved > 0)
        return saved;
    ::unlink(QFile::encodeName(filePath).constData());
    return 0;
}

void FileWriter::closeFile()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
