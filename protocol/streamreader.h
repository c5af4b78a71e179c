#ifndef STREAMREADER_H
#define STREAMREADER_H

#include <QByteArray>
#include <QString>

// Reads an item stream as it arrives, in pieces of any size, and hands its records to a Handler.
// The work is linear in the input: a line longer than any name is a framing error rather than a
// buffer that keeps growing, and file data is passed on as it comes, never collected.
class StreamReader
{
public:
    enum Error {
        NoError,
        LineTooLong,  // a name, type or size line without its line end in reach
        UnknownType,  // the type line is neither "file" nor "folder"
        BadSize,      // the size line is not a decimal number of at most 4294967295
        BadTrailer,   // the line after a file's data is not "File end"
        DataAfterEnd, // bytes after the end marker
        Stopped       // the handler refused to go on
    };

    class Handler
    {
    public:
        virtual ~Handler() = default;
        // Each returns false to stop the reader.
        virtual bool folder(const QString &name) = 0;
        virtual bool fileBegin(const QString &name, qint64 size) = 0;
        virtual bool fileData(const char *data, qint64 length) = 0;
        virtual bool fileEnd() = 0;
    };

    // Longer than any path a file system takes, far shorter than what would cost memory.
    static constexpr int maxLineLength = 32 * 1024;

    explicit StreamReader(Handler *handler);

    // Takes the next piece of input; false once the stream is framed wrongly or the handler has
    // stopped, after which nothing more is read.
    bool feed(const char *data, qint64 length);
    bool feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }

    bool atEnd() const { return state == State::Ended; }
    bool failed() const { return state == State::Failed; }
    Error error() const { return lastError; }
    // The name of the record being read, or of the last one read.
    QString recordName() const { return name; }
    int records() const { return recordCount; }

private:
    enum class State { Name, Type, Size, Data, Trailer, Ended, Failed };

    bool takeLine(const char *&data, qint64 &length);
    bool handleLine(const QByteArray &line);
    bool fail(Error error);

    Handler *handler;
    State state = State::Name;
    Error lastError = NoError;
    QByteArray line;
    QString name;
    qint64 remaining = 0;
    int recordCount = 0;
};

#endif // STREAMREADER_H
