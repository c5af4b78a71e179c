#include "protocol/streamwriter.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QIODevice>

namespace {

constexpr qint64 pieceSize = 1024 * 1024;

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n') || c == QLatin1Char('\v') || c == QLatin1Char('\f');
}

} // namespace

StreamWriter::StreamWriter(QIODevice *out) : out(out) {}

bool StreamWriter::isValidName(const QString &name)
{
    if (name.isEmpty() || isSpace(name.front()) || isSpace(name.back()))
        return false;
    // The reader ends the stream at a record named like the end marker.
    if (name == QLatin1String("OVER"))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\0'))
            return false;
    }
    return true;
}

bool StreamWriter::writeFolder(const QString &name)
{
    if (!isValidName(name))
        return fail(InvalidName);
    if (!writeAll(name.toUtf8() + "\r\nfolder\r\n"))
        return fail(WriteFailed);
    lastError = NoError;
    return true;
}

bool StreamWriter::writeFile(const QString &name, const QString &sourcePath)
{
    if (!isValidName(name))
        return fail(InvalidName);
    if (QFileInfo(sourcePath).isDir())
        return fail(SourceUnreadable);
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly) || source.isSequential())
        return fail(SourceUnreadable);
    const qint64 size = source.size();
    if (size > maxFileSize)
        return fail(TooLarge);

    if (!writeAll(name.toUtf8() + "\r\nfile\r\n" + QByteArray::number(size) + "\r\n"))
        return fail(WriteFailed);

    // From here on the record is partly written; any error leaves the stream unusable.
    QByteArray piece(static_cast<int>(qMin(size, pieceSize)), Qt::Uninitialized);
    qint64 remaining = size;
    while (remaining > 0) {
        const qint64 want = qMin(remaining, pieceSize);
        const qint64 got = source.read(piece.data(), want);
        if (got < 0)
            return fail(SourceUnreadable);
        if (got == 0)
            return fail(SourceChanged);
        if (out->write(piece.constData(), got) != got)
            return fail(WriteFailed);
        if (pieceWritten && !pieceWritten())
            return fail(Cancelled);
        remaining -= got;
    }
    char extra;
    if (source.read(&extra, 1) != 0)
        return fail(SourceChanged);

    if (!writeAll(QByteArrayLiteral("File end\r\n")))
        return fail(WriteFailed);
    lastError = NoError;
    return true;
}

bool StreamWriter::writeEnd()
{
    if (!writeAll(QByteArrayLiteral("OVER\r\n")))
        return fail(WriteFailed);
    // A buffered file reports a full disk only when its buffer goes out.
    if (auto *file = qobject_cast<QFileDevice *>(out)) {
        if (!file->flush())
            return fail(WriteFailed);
    }
    lastError = NoError;
    return true;
}

bool StreamWriter::writeAll(const QByteArray &bytes)
{
    if (out->write(bytes) != bytes.size())
        return false;
    if (pieceWritten && !pieceWritten()) {
        lastError = Cancelled;
        return false;
    }
    return true;
}

bool StreamWriter::fail(Error error)
{
    // A stop asked for by the callback stays the reason, whatever the caller then reports.
    if (!(error == WriteFailed && lastError == Cancelled))
        lastError = error;
    return false;
}
