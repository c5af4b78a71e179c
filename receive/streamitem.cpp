#include "receive/streamitem.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStringList>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;
// No name comes near this; a longer line is not part of a stream and is not held in memory.
constexpr qint64 maxLineLength = 1024 * 1024;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// One line, trimmed and decoded up to its first NUL byte. False when the input ends before the
// line does (or the line is too long to be a record's line).
bool readRecordLine(QIODevice *stream, QString *text)
{
    // In short parts: a limit of its own makes readLine reserve the whole limit every time.
    QByteArray line;
    while (line.size() <= maxLineLength) {
        const QByteArray part = stream->readLine(256);
        if (part.isEmpty())
            break;
        line += part;
        if (line.endsWith('\n'))
            break;
    }
    *text = QString::fromUtf8(line.trimmed()); // QByteArray overload stops at NUL
    return line.endsWith('\n');
}

// A decimal number of at most 4294967295, digits only.
bool parseSize(const QString &text, qint64 *size)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value > Q_INT64_C(4294967295))
        return false;
    *size = value;
    return true;
}

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
bool staysInside(const QString &canonicalSave, const QString &name)
{
    QString existing = canonicalSave;
    QString prefix = canonicalSave;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty())
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

// A file written under a temporary name beside its final one and put in place only when whole,
// so that neither a cut nor a failed write leaves something that looks like the complete file.
// An existing file is replaced, not written into: a hard link to it keeps its old contents.
class PartFile
{
public:
    explicit PartFile(const QString &path) : path(path) {}
    ~PartFile() { cancel(); }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    bool open()
    {
        const QFileInfo target(path);
        if (target.isDir())
            return false;
        const QString folder = target.absolutePath();
        for (int n = 0; n < 1000; ++n) {
            file.setFileName(folder + QStringLiteral("/.nubo-%1.part").arg(n));
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                opened = true;
                return true;
            }
            if (!QFileInfo::exists(file.fileName()) && !QFileInfo(file.fileName()).isSymLink())
                return false; // not a name clash: the folder cannot take files
        }
        return false;
    }

    bool write(const char *data, qint64 length) { return file.write(data, length) == length; }

    void cancel()
    {
        if (!opened || committed)
            return;
        file.close();
        file.remove();
        opened = false;
    }

    bool commit()
    {
        if (!file.flush())
            return false;
        file.close();
        const QFileInfo target(path);
        if ((target.exists() || target.isSymLink()) && !QFile::remove(path))
            return false;
        committed = QFile::rename(file.fileName(), path);
        return committed;
    }

private:
    QString path;
    QFile file;
    bool opened = false;
    bool committed = false;
};

} // namespace

StreamItem::StreamItem(const QString &saveDir, QIODevice *stream) : saveDir(saveDir)
{
    const auto stop = [&](Status why) {
        status = why;
        truncated = true;
        recordEnd = stream->pos();
    };

    if (!readRecordLine(stream, &name) || !readRecordLine(stream, &type)) {
        stop(Incomplete);
        return;
    }

    const bool isFile = type == QLatin1String("file");
    const bool isFolder = !isFile && type == QLatin1String("folder");

    const QString canonicalSave = QFileInfo(saveDir).canonicalFilePath();
    const QString path =
        QDir::cleanPath(QFileInfo(saveDir).absoluteFilePath() + QLatin1Char('/') + name);
    if (!isFile && !isFolder)
        status = UnknownType;
    else if (!isSafeName(name))
        status = Refused;
    else if (canonicalSave.isEmpty())
        status = WriteFailed; // no save folder to store into
    else if (!staysInside(canonicalSave, name))
        status = Refused;

    if (isFile) {
        QString sizeText;
        if (!readRecordLine(stream, &sizeText)) {
            stop(Incomplete);
            return;
        }
        qint64 parsed = 0;
        // Without a size the data cannot be stepped over, so nothing after it can be framed.
        if (!parseSize(sizeText, &parsed)) {
            stop(Incomplete);
            return;
        }
        size = parsed;
        const qint64 start = stream->pos();
        dataRange << start << start + size;

        if (stream->size() - start < size) {
            stop(status == Stored ? Incomplete : status);
            return;
        }

        PartFile file(path);
        if (status == Stored && !file.open())
            status = WriteFailed;
        if (status == Stored) {
            QByteArray piece(static_cast<int>(qMin(size, pieceSize)), Qt::Uninitialized);
            qint64 remaining = size;
            while (remaining > 0) {
                const qint64 got = stream->read(piece.data(), qMin(remaining, pieceSize));
                if (got <= 0)
                    break;
                if (!file.write(piece.constData(), got)) {
                    status = WriteFailed;
                    break;
                }
                remaining -= got;
            }
            if (remaining > 0 && status == Stored) {
                file.cancel();
                stop(Incomplete);
                return;
            }
        }
        if (!stream->seek(start + size)) {
            stop(status == Stored ? Incomplete : status);
            return;
        }

        QString trailer;
        if (!readRecordLine(stream, &trailer)) {
            file.cancel();
            stop(status == Stored ? Incomplete : status);
            return;
        }
        if (trailer != QLatin1String("File end"))
            qDebug() << "File end错误";
        if (status == Stored && !file.commit())
            status = WriteFailed;
    } else if (isFolder) {
        if (status == Stored) {
            const QFileInfo info(path);
            if (!info.isDir() && (info.exists() || !QDir().mkdir(path)))
                status = WriteFailed;
        }
    } else {
        qDebug() << "类型错误";
    }

    recordEnd = stream->pos();
    if (status == Stored)
        storedPath = path;

    QString next;
    const bool hasNext = readRecordLine(stream, &next);
    if (next == QLatin1String("OVER"))
        over = true;
    else if (!hasNext)
        truncated = true; // the input ended where another record or the end marker belongs
    stream->seek(recordEnd);
}
