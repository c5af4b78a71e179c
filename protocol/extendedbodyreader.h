#ifndef EXTENDEDBODYREADER_H
#define EXTENDEDBODYREADER_H

#include "protocol/manifest.h"
#include "protocol/transferplan.h"

#include <QByteArray>

// Reads the body of an extended transfer as it arrives, in pieces of any size, and tells a handler
// about every item of the manifest in order: folders and skipped files as they are passed, files
// from their part line to the hash line after their last byte. Only the parts the plan leaves to
// be sent are taken, each once, in order, from the offset the plan allows (its resume offset, or
// 0). The lines are those ExtendedProtocol describes, to the byte: "P <index> <offset>\n" with
// numbers as Decimal reads them, "H <32 hex digits>\n", "E\n".
class ExtendedBodyReader
{
public:
    class Handler
    {
    public:
        virtual ~Handler() = default;
        virtual bool folder(int index) = 0;
        virtual bool skipped(int index) = 0;
        virtual bool fileBegin(int index, qint64 offset) = 0;
        virtual bool fileData(const char *data, qint64 length) = 0;
        // `sent` is the hash of the whole file as the sender read it.
        virtual bool fileEnd(int index, const ContentHash::Value &sent) = 0;
    };

    enum Error {
        NoError,
        BadLine,      // a part, hash or end line that does not read as one
        WrongPart,    // a part other than the next one the plan leaves to be sent
        WrongOffset,  // an offset other than 0 or the plan's
        EarlyEnd,     // the end line while parts are still due
        DataAfterEnd, // anything after the end line
        HandlerFailed // the handler said no
    };

    ExtendedBodyReader(const Manifest &manifest, const TransferPlan &plan, Handler *handler);

    // False once reading has failed; error() says why.
    bool feed(const char *data, qint64 length);
    bool atEnd() const { return ended; }
    Error error() const { return lastError; }
    // File bytes taken so far.
    qint64 dataBytes() const { return data; }

private:
    static constexpr int maxLine = 64;

    bool takeLine(const QByteArray &line);
    bool takePart(const QByteArray &line);
    bool takeHash(const QByteArray &line);
    bool passUpTo(int index);
    bool fail(Error error);

    const Manifest &manifest;
    const TransferPlan &plan;
    Handler *handler;
    QByteArray line;
    int next = 0;         // the first item not passed yet
    int current = -1;     // the file whose bytes are being read
    int hashDue = -1;     // the file whose bytes were read and whose hash line comes next
    qint64 remaining = 0; // of that file
    qint64 data = 0;
    bool ended = false;
    Error lastError = NoError;
};

#endif // EXTENDEDBODYREADER_H
