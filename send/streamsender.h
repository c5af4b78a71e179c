#ifndef STREAMSENDER_H
#define STREAMSENDER_H

#include "protocol/contenthash.h"
#include "send/sendpacker.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

class QFile;

// Sends the item stream of a listed drop, or the body of an extended transfer, straight from the
// source files to a connected socket (or any descriptor open for writing): framing lines and
// small files are gathered into large writes, larger files go from the file to the socket with
// sendfile(2) where the system has it.
// Each file must be exactly as it was listed when its turn comes, as the request announced its
// size; otherwise sending stops inside that record, so that no reader can take a cut or padded
// file for a whole one.
class StreamSender
{
public:
    enum Error {
        NoError,
        SourceUnreadable, // a listed file cannot be opened or read any more, or is no file
        SourceChanged,    // a listed file is shorter or longer than when it was listed
        SendFailed,       // the connection broke
        Stalled,          // the peer took nothing for the stall timeout
        Cancelled,        // the cancel flag was set
        Stopped           // the peer check said the receiver stopped the body
    };

    // One file of an extended body: its bytes from `from` on, hashing on from `hash`, the state
    // after its first `from` bytes.
    struct Part
    {
        int index = 0;
        qint64 from = 0;
        ContentHash hash;
    };

    // The size field of a file record is read as an unsigned 32-bit number.
    static constexpr qint64 maxFileSize = Q_INT64_C(4294967295);

    explicit StreamSender(qintptr descriptor);

    void setCancelFlag(const std::atomic<bool> *flag) { cancelled = flag; }
    void setStallTimeout(int ms) { stallMs = ms; }
    // Called with the bytes handed to the system so far, after every hand-over.
    void setSentCallback(std::function<void(qint64)> callback) { onSent = std::move(callback); }
    // Extended body only: asked between pieces whether to go on (an Error to stop with, or
    // NoError); told the state at each multiple of `step` bytes of a file, and its whole hash.
    void setPeerCheck(std::function<Error()> check) { peerCheck = std::move(check); }
    void setStepCallback(qint64 step, std::function<void(int, const ContentHash &)> callback)
    {
        stepBytes = step;
        onStep = std::move(callback);
    }
    void setHashedCallback(std::function<void(int, const ContentHash::Value &)> callback)
    {
        onHashed = std::move(callback);
    }

    // Sends every item and the end marker. False on the first error; the stream is then cut
    // and the connection must be reset, not closed.
    bool send(const QList<SendPacker::Item> &items);
    // Sends the body of an extended transfer: for every part, in order, its part line, the file's
    // bytes from the part's offset on, each read once for the socket and the hash, and its hash
    // line; then the end line. False as for send().
    bool sendParts(const QList<SendPacker::Item> &items, const QVector<Part> &parts);
    // The length of the body sendParts() makes of the same arguments.
    static qint64 partsSize(const QList<SendPacker::Item> &items, const QVector<Part> &parts);

    Error error() const { return lastError; }
    // The name of the item the error is about; empty for the connection's own errors.
    QString failedItem() const { return failedName; }
    qint64 sent() const { return handedOver; }
    // Bytes read from the files by sendParts().
    qint64 read() const { return readBytes; }

private:
    // The file's bytes between `head` and `tail`; hashed and read once when `part` is given.
    bool sendFile(const SendPacker::Item &item, const QByteArray &head, const QByteArray &tail,
                  Part *part = nullptr);
    bool openSource(QFile &source, const SendPacker::Item &item, int recordStart);
    bool copyContents(QFile &source, qint64 size);
    bool copyHashed(QFile &source, qint64 size, Part &part);
    bool readInto(QFile &source, qint64 length);
    bool append(const QByteArray &bytes);
    bool flush();
    bool writeOut(const char *data, qint64 length);
    bool waitWritable();
    bool fail(Error error, const QString &item = QString());
    bool failInRecord(Error error, const QString &item, int recordStart);
    void report(qint64 bytes);

    qintptr fd;
    bool isSocket = false;
    const std::atomic<bool> *cancelled = nullptr;
    int stallMs = 30000;
    std::function<void(qint64)> onSent;
    std::function<Error()> peerCheck;
    qint64 stepBytes = 0;
    std::function<void(int, const ContentHash &)> onStep;
    std::function<void(int, const ContentHash::Value &)> onHashed;
    qint64 readBytes = 0;
    QByteArray batch;
    qint64 handedOver = 0;
    Error lastError = NoError;
    QString failedName;
};

#endif // STREAMSENDER_H
