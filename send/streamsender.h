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
        Cancelled         // the cancel flag was set
    };

    // The size field of a file record is read as an unsigned 32-bit number.
    static constexpr qint64 maxFileSize = Q_INT64_C(4294967295);
    // Whether a name can be carried: not empty, none of CR, LF and NUL, no white space at its
    // ends (readers trim lines), and not the end marker "OVER".
    static bool isValidName(const QString &name);

    explicit StreamSender(qintptr descriptor);

    void setCancelFlag(const std::atomic<bool> *flag) { cancelled = flag; }
    void setStallTimeout(int ms) { stallMs = ms; }
    // Called with the bytes handed to the system so far, after every hand-over.
    void setSentCallback(std::function<void(qint64)> callback) { onSent = std::move(callback); }

    // Sends every item and the end marker. False on the first error; the stream is then cut
    // and the connection must be reset, not closed.
    bool send(const QList<SendPacker::Item> &items);
    // Sends the body of an extended transfer: for every file whose offset (by item index) is 0 or
    // more, in order, its part line and its bytes from that offset on; then the end line. Folders
    // and files at -1 are not in it. False as for send().
    // Each part ends with the file's hash line, from `hashes` by item index.
    bool sendParts(const QList<SendPacker::Item> &items, const QVector<qint64> &offsets,
                   const QVector<ContentHash::Value> &hashes);
    // The length of the body sendParts() makes of the same arguments.
    static qint64 partsSize(const QList<SendPacker::Item> &items, const QVector<qint64> &offsets);

    Error error() const { return lastError; }
    // The name of the item the error is about; empty for the connection's own errors.
    QString failedItem() const { return failedName; }
    qint64 sent() const { return handedOver; }

private:
    bool sendItems(const QList<SendPacker::Item> &items, const QVector<qint64> *offsets,
                   const QVector<ContentHash::Value> *hashes = nullptr);
    // The file's bytes from `from` on, between `head` and `tail`.
    bool sendFile(const SendPacker::Item &item, const QByteArray &head, qint64 from,
                  const QByteArray &tail);
    bool copyContents(QFile &source, qint64 from, qint64 size);
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
    QByteArray batch;
    qint64 handedOver = 0;
    Error lastError = NoError;
    QString failedName;
};

#endif // STREAMSENDER_H
