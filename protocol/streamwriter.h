#ifndef STREAMWRITER_H
#define STREAMWRITER_H

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;

// Writes an item stream: folder records, file records and the end marker. A record is either
// written whole or, on error, the writer says so; it never writes a record a reader would
// misframe. File data is copied in pieces, so memory stays flat whatever the file size.
class StreamWriter
{
public:
    enum Error {
        NoError,
        InvalidName,      // empty, holds CR, LF or NUL, starts or ends with white space, or
                          // is the end marker "OVER": a reader would lose or misread it
        TooLarge,         // above 4294967295 bytes, which the size field cannot carry
        SourceUnreadable, // the source file cannot be opened or read
        SourceChanged,    // the source yields a different number of bytes than its size
        WriteFailed,      // the output device refused bytes
        Cancelled         // the piece callback asked to stop
    };

    static constexpr qint64 maxFileSize = Q_INT64_C(4294967295);

    explicit StreamWriter(QIODevice *out);

    // Called after every piece handed to the device; returning false stops the writing.
    void setPieceWritten(std::function<bool()> callback) { pieceWritten = std::move(callback); }

    bool writeFolder(const QString &name);
    // Copies exactly the size the file has when the record starts.
    bool writeFile(const QString &name, const QString &sourcePath);
    bool writeEnd();

    Error error() const { return lastError; }

    static bool isValidName(const QString &name);

private:
    bool writeAll(const QByteArray &bytes);
    bool fail(Error error);

    QIODevice *out;
    std::function<bool()> pieceWritten;
    Error lastError = NoError;
};

#endif // STREAMWRITER_H
