#include "receive/streamunpacker.h"

#include "records/fileidentity.h"
#include "records/hashcache.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// Names are paths below the save folder; anything that could climb out of it is refused
// before the file system is asked.
bool isSafeName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter())
        return false;
#ifdef Q_OS_WIN
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':')))
        return false;
#endif
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return false;
#ifdef Q_OS_WIN
        // Windows drops trailing dots and spaces, so ". ." or "... " can stand for "..".
        QString stripped = part;
        while (stripped.endsWith(QLatin1Char('.')) || stripped.endsWith(QLatin1Char(' ')))
            stripped.chop(1);
        if (part.size() > 1 && stripped.isEmpty())
            return false;
#endif
    }
    return true;
}

bool isInside(const QString &path, const QString &folder)
{
    if (path.compare(folder, pathCase) == 0)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix, pathCase);
}

// The deepest existing part of the path decides where the item really lands: it must resolve to
// a place inside the save folder. A dangling link is refused, as its target cannot be checked.
bool staysInside(const QString &canonicalSave, const QString &base, const QStringList &parts)
{
    QString existing = base;
    QString prefix = base;
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        prefix += QLatin1Char('/') + part;
        const QFileInfo info(prefix);
        if (info.isSymLink() && !info.exists())
            return false;
        if (!info.exists())
            break;
        existing = prefix;
    }
    const QString real = QFileInfo(existing).canonicalFilePath();
    return !real.isEmpty() && isInside(real, canonicalSave);
}

} // namespace

// A file written under a temporary name beside its final one and put in place only when whole,
// so that neither a cut nor a failed write leaves something that looks like the complete file.
// The target is replaced, not written into: a hard link to it keeps its old contents. Not
// QSaveFile: it syncs every file to disk, which makes thousands of small files crawl. Not
// QTemporaryFile either: its files are private (0600), while a received file should end with the
// mode any other program would give it, which creating it the ordinary way does.
class StreamUnpacker::PartFile
{
public:
    explicit PartFile(const QString &path) : path(path) {}
    ~PartFile()
    {
        if (made && !committed && !kept) {
            file.close();
            QFile::remove(file.fileName());
        }
    }

    bool open()
    {
        if (QFileInfo(path).isDir())
            return false;
        static const char letters[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        // The random name is taken only if nothing has it yet, and is never the target's.
        for (int attempt = 0; attempt < 16; ++attempt) {
            QString name = QStringLiteral(".nubo-XXXXXX.part");
            for (int i = 6; i < 12; ++i)
                name[i] = QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
            file.setFileName(QFileInfo(path).absolutePath() + QLatin1Char('/') + name);
            if (file.fileName() == path)
                continue;
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                made = true;
                return true;
            }
            const QFileInfo taken(file.fileName());
            if (!taken.exists() && !taken.isSymLink())
                return false;
        }
        return false;
    }

    // The partial file of an extended transfer: continued from `offset` when that much of it is
    // here, else begun anew. Whatever lies at its name (never a folder) is replaced, not written
    // through: a link there must not lead the contents elsewhere.
    bool openPartial(const QString &partial, qint64 offset)
    {
        if (QFileInfo(path).isDir())
            return false;
        file.setFileName(partial);
        const QFileInfo info(partial);
        if (offset > 0) {
            if (info.isSymLink() || !info.isFile() || info.size() < offset ||
                !file.open(QIODevice::ReadWrite) || !file.resize(offset) || !file.seek(offset))
                return false;
        } else {
            if (info.isSymLink() || info.isFile())
                QFile::remove(partial);
            if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                return false;
        }
        made = true;
        return true;
    }

    // Leaves the file where it is for a later transfer; its length, or -1 when it cannot stay.
    qint64 keep()
    {
        if (!made || committed || !file.flush())
            return -1;
        kept = true;
        const qint64 length = file.size();
        file.close();
        return length;
    }

    // A short write is tried again, so that a full disk shows as such in error().
    bool write(const char *data, qint64 length)
    {
        while (length > 0) {
            const qint64 written = file.write(data, length);
            if (written <= 0)
                return false;
            data += written;
            length -= written;
        }
        return true;
    }

    bool commit()
    {
        if (!file.flush())
            return false;
        file.close();
#ifdef Q_OS_WIN
        const QFileInfo target(path);
        // No atomic replace here: the old file goes first.
        if ((target.exists() || target.isSymLink()) && !QFile::remove(path))
            return false;
#endif
        // rename(2) replaces the target in one step: the old file stays until the new is whole.
        if (std::rename(QFile::encodeName(file.fileName()).constData(),
                        QFile::encodeName(path).constData()) != 0)
            return false;
        committed = true;
        return true;
    }

    bool diskFull() const
    {
        return file.error() == QFileDevice::ResourceError;
    }

private:
    QString path;
    QFile file;
    bool made = false;
    bool committed = false;
    bool kept = false;
};

StreamUnpacker::StreamUnpacker(const QString &saveDir)
    : reader(this), saveDir(QDir::cleanPath(QFileInfo(saveDir).absoluteFilePath())),
      canonicalSave(QFileInfo(saveDir).canonicalFilePath())
{
}

QString StreamUnpacker::relativeOf(const QString &path) const
{
    return path.mid(saveDir.endsWith(QLatin1Char('/')) ? saveDir.size() : saveDir.size() + 1);
}

StreamUnpacker::~StreamUnpacker() = default; // an unfinished file is cancelled with it

bool StreamUnpacker::feed(const char *bytes, qint64 length)
{
    if (hasFailed)
        return false;
    if (!reader.feed(bytes, length) && !hasFailed) {
        const Status status = reader.error() == StreamReader::UnknownType ? StoredEntry::UnknownType
                                                                          : StoredEntry::Invalid;
        qDebug() << (status == StoredEntry::UnknownType ? "类型错误" : "File end错误")
                 << reader.recordName();
        file.reset();
        add(reader.error() == StreamReader::DataAfterEnd ? QStringLiteral("OVER")
                                                         : reader.recordName(),
            QString(), status);
    }
    return !hasFailed;
}

void StreamUnpacker::finish()
{
    if (hasFailed || reader.atEnd())
        return;
    // Only a file being written has a name worth showing; the missing end counts all the same.
    if (file && hashing)
        kept = file->keep();
    file.reset();
    hasFailed = true;
    pending.append(Entry{fileName, QString(), StoredEntry::Incomplete});
}

QList<StoredEntry> StreamUnpacker::takeEntries()
{
    QList<Entry> taken;
    taken.swap(pending);
    return taken;
}

StoredEntry::Status StreamUnpacker::check(const QString &name, QString *path)
{
    if (!isSafeName(name))
        return StoredEntry::Refused;
    if (recordLimit >= 0 && reader.records() > recordLimit)
        return StoredEntry::Excess;
    if (canonicalSave.isEmpty())
        return StoredEntry::WriteFailed; // no save folder to store into
    *path = QDir::cleanPath(saveDir + QLatin1Char('/') + name);
    if (!isInside(*path, saveDir) || *path == saveDir)
        return StoredEntry::Refused;
    if (isProtected(*path))
        return StoredEntry::Refused;

    const QString relative = relativeOf(*path);
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash < 0 ? QString() : relative.left(slash);
    if (parent.isEmpty() || knownFolders.contains(parent)) {
        const QFileInfo info(*path);
        if (!info.isSymLink())
            return StoredEntry::Stored;
        const QString real = info.canonicalFilePath();
        return !real.isEmpty() && isInside(real, canonicalSave) ? StoredEntry::Stored
                                                                : StoredEntry::Refused;
    }
    if (!staysInside(canonicalSave, canonicalSave, relative.split(QLatin1Char('/'))))
        return StoredEntry::Refused;
    const QFileInfo parentInfo(saveDir + QLatin1Char('/') + parent);
    if (parentInfo.isDir() && isInside(parentInfo.canonicalFilePath(), canonicalSave))
        knownFolders.insert(parent);
    return StoredEntry::Stored;
}

// The rule for a name already taken is decided once for each top-level item, with the first of
// its records; the records below it follow it into a new name, or into nothing when it is
// skipped. A new name is checked like any name a sender gives.
StoredEntry::Status StreamUnpacker::place(const QString &name, bool isFile, QString *path,
                                          Clash *clash, bool *skip)
{
    *clash = StoredEntry::NoClash;
    *skip = false;
    const QString cleaned = QDir::cleanPath(saveDir + QLatin1Char('/') + name);
    if (!isSafeName(name) || !isInside(cleaned, saveDir) || cleaned == saveDir)
        return check(name, path);
    if (recordLimit >= 0 && reader.records() > recordLimit)
        return StoredEntry::Excess;
    const QString relative = relativeOf(cleaned);
    const int slash = relative.indexOf(QLatin1Char('/'));
    const QString top = slash < 0 ? relative : relative.left(slash);
    auto known = tops.constFind(top);
    if (known == tops.constEnd() && continued.contains(top)) {
        const QString storedTop = continued.value(top);
        *clash = storedTop == top ? StoredEntry::NoClash : StoredEntry::Renamed;
        known = tops.insert(top, storedTop);
        usedTops.insert(storedTop);
    } else if (known == tops.constEnd()) {
        const QFileInfo existing(saveDir + QLatin1Char('/') + top);
        QString storedTop = top;
        if (existing.exists() || existing.isSymLink()) {
            switch (clashRule) {
            case SettingsKeys::NameClash::Overwrite:
                *clash = StoredEntry::Replaced;
                break;
            case SettingsKeys::NameClash::KeepBoth:
                storedTop = freeName(top, isFile && slash < 0);
                if (storedTop.isEmpty())
                    return StoredEntry::WriteFailed;
                *clash = StoredEntry::Renamed;
                break;
            case SettingsKeys::NameClash::Skip:
                storedTop.clear();
                *clash = StoredEntry::Skipped;
                break;
            }
        }
        known = tops.insert(top, storedTop);
        usedTops.insert(storedTop);
    }
    if (known->isEmpty()) {
        *skip = true;
        *path = saveDir + QLatin1Char('/') + top;
        return StoredEntry::Stored;
    }
    return check(*known + relative.mid(top.size()), path);
}

// "name (1).ext" for a file, "name (1)" for a folder, counting up: a name free in the save
// folder and not given to another item of this transfer.
QString StreamUnpacker::freeName(const QString &top, bool isFile) const
{
    const int dot = isFile ? top.lastIndexOf(QLatin1Char('.')) : -1;
    const QString base = dot > 0 ? top.left(dot) : top; // ".profile" has no extension
    const QString extension = dot > 0 ? top.mid(dot) : QString();
    for (int copy = 1; copy <= 9999; ++copy) {
        const QString name = base + QStringLiteral(" (%1)").arg(copy) + extension;
        const QFileInfo info(saveDir + QLatin1Char('/') + name);
        if (!info.exists() && !info.isSymLink() && !usedTops.contains(name))
            return name;
    }
    return QString();
}

// The program's own files may lie in the save folder; a record must never replace them.
bool StreamUnpacker::isProtected(const QString &path) const
{
    const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    for (const QString &own : protectedPaths) {
        if (own.mid(own.lastIndexOf(QLatin1Char('/')) + 1).compare(fileName, pathCase) != 0)
            continue;
        const QString real = QFileInfo(path).canonicalFilePath();
        const QString ownReal = QFileInfo(own).canonicalFilePath();
        if (path.compare(own, pathCase) == 0 ||
            (!real.isEmpty() && real.compare(ownReal, pathCase) == 0) ||
            QFileInfo(QFileInfo(path).absolutePath())
                    .canonicalFilePath()
                    .compare(QFileInfo(QFileInfo(own).absolutePath()).canonicalFilePath(),
                             pathCase) == 0)
            return true;
    }
    return false;
}

bool StreamUnpacker::add(const QString &name, const QString &path, Status status, Clash clash)
{
    pending.append(Entry{name, status == StoredEntry::Stored ? path : QString(), status,
                         status == StoredEntry::Stored ? clash : StoredEntry::NoClash});
    if (status != StoredEntry::Stored)
        hasFailed = true;
    return status == StoredEntry::Stored;
}

bool StreamUnpacker::folder(const QString &name)
{
    QString path;
    Clash clash;
    bool skip;
    Status status = place(name, false, &path, &clash, &skip);
    if (skip)
        return clash == StoredEntry::NoClash || add(name, path, StoredEntry::Stored, clash);
    if (status == StoredEntry::Stored) {
        const QFileInfo info(path);
        if (!info.isDir() && (info.exists() || info.isSymLink() || !QDir().mkdir(path)))
            status = StoredEntry::WriteFailed;
    }
    if (status == StoredEntry::Stored)
        knownFolders.insert(relativeOf(path));
    return add(name, path, status, clash);
}

// The steps every file record begins with: its place, the size limit, and a skipped item read
// past. False when there is nothing to open; `*result` is then what the record's start returns.
bool StreamUnpacker::placeFile(const QString &name, qint64 size, bool *result)
{
    fileName = name;
    announced += size;
    bool skip;
    Status status = place(name, true, &filePath, &fileClash, &skip);
    if (status == StoredEntry::Stored && dataLimit >= 0 && announced > dataLimit)
        status = StoredEntry::Excess;
    if (status == StoredEntry::Stored && skip) {
        discarding = true;
        *result = fileClash == StoredEntry::NoClash ||
                  add(name, filePath, StoredEntry::Stored, fileClash);
        return false;
    }
    if (status != StoredEntry::Stored) {
        *result = add(name, filePath, status);
        return false;
    }
    return true;
}

bool StreamUnpacker::fileBegin(const QString &name, qint64 size)
{
    bool result;
    if (!placeFile(name, size, &result))
        return result;
    file = std::make_unique<PartFile>(filePath);
    if (file->open())
        return true;
    file.reset();
    return add(name, filePath, StoredEntry::WriteFailed);
}

bool StreamUnpacker::fileData(const char *bytes, qint64 length)
{
    data += length;
    if (discarding)
        return true;
    if (hashing)
        hashing->add(bytes, length);
    while (length > 0) {
        const qint64 take = qMin(length, pieceSize);
        if (!file->write(bytes, take)) {
            noSpace = file->diskFull();
            file.reset();
            return add(fileName, filePath, StoredEntry::WriteFailed);
        }
        bytes += take;
        length -= take;
    }
    return true;
}

bool StreamUnpacker::fileEnd()
{
    const QString name = fileName;
    fileName.clear();
    if (discarding) {
        discarding = false;
        return true;
    }
    const bool committed = file->commit();
    noSpace = !committed && file->diskFull();
    file.reset();
    return add(name, filePath, committed ? StoredEntry::Stored : StoredEntry::WriteFailed,
               fileClash);
}

QString StreamUnpacker::pathFor(const QString &name)
{
    QString path;
    return check(name, &path) == StoredEntry::Stored ? path : QString();
}

QString StreamUnpacker::partialPathOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return path.left(slash + 1) + QLatin1Char('.') + path.mid(slash + 1) +
           QLatin1String(".nubo-partial");
}

bool StreamUnpacker::addUnchanged(const QString &name)
{
    // Nothing of it is written, so below a top-level item already placed there is nothing to
    // check: the item stays as it is.
    const int slash = name.indexOf(QLatin1Char('/'));
    if (slash > 0 && tops.contains(name.left(slash)))
        return true;
    QString path;
    Clash clash;
    bool skip;
    const Status status = place(name, true, &path, &clash, &skip);
    if (status != StoredEntry::Stored)
        return add(name, path, status);
    if (skip)
        return clash == StoredEntry::NoClash || add(name, path, StoredEntry::Stored, clash);
    // Inside a folder, an unchanged file is said in the count of those skipped; a link for each
    // would bury the few that came.
    if (!name.contains(QLatin1Char('/')))
        pending.append(Entry{name, path, StoredEntry::Stored, StoredEntry::Unchanged});
    return true;
}

bool StreamUnpacker::beginFile(const QString &name, qint64 size, qint64 offset,
                               const ContentHash &prefix)
{
    fileSize = size;
    kept = -1;
    bool result;
    if (!placeFile(name, size, &result))
        return result;
    file = std::make_unique<PartFile>(filePath);
    if (!file->openPartial(partialPathOf(filePath), offset)) {
        file.reset();
        return add(name, filePath, StoredEntry::WriteFailed);
    }
    hashing = std::make_unique<ContentHash>(offset > 0 ? prefix : ContentHash());
    if (offset > 0)
        pending.append(Entry{name, filePath, StoredEntry::Resumed, StoredEntry::NoClash, offset});
    return true;
}

bool StreamUnpacker::endFile(const ContentHash::Value &expected)
{
    const std::unique_ptr<ContentHash> hash = std::move(hashing);
    if (hash && !discarding && hash->value() != expected) {
        file.reset();
        const QString name = fileName;
        fileName.clear();
        return add(name, filePath, StoredEntry::Mismatch);
    }
    const bool written = !discarding;
    if (!fileEnd())
        return false;
    if (written && verified)
        verified->store(filePath, FileIdentity::of(filePath), expected);
    return true;
}

StreamUnpacker::Result StreamUnpacker::unpack(const QString &saveDir, QIODevice *stream)
{
    StreamUnpacker unpacker(saveDir);
    QByteArray piece(int(pieceSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = stream->read(piece.data(), pieceSize);
        if (got <= 0 || !unpacker.feed(piece.constData(), got))
            break;
    }
    unpacker.finish();
    return Result{unpacker.takeEntries(), unpacker.complete()};
}
