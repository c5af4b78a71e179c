#ifndef PLAINITEMSTREAM_H
#define PLAINITEMSTREAM_H

#include "protocol/streamreader.h"
#include "receive/itemstorage.h"
#include "receive/transferstore.h"

// Stores the plain item stream below the save folder while it arrives: each folder record made,
// each file written under a temporary name and put in place only when its record is whole.
class PlainItemStream : public TransferStore, private StreamReader::Handler
{
public:
    explicit PlainItemStream(const SaveFolder &folder);

    // More records than this, or more bytes of file contents, end the storing as invalid: the
    // counts the user accepted.
    void setRecordLimit(int records) { storage.setRecordLimit(records); }
    void setDataLimit(qint64 bytes) { storage.setDataLimit(bytes); }

    bool feed(const char *data, qint64 length) override;
    bool feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }
    void finish() override;
    bool atEnd() const override { return reader.atEnd(); }
    bool failed() const override { return storage.failed(); }
    // The end marker was read, nothing followed it, and every record was stored.
    bool complete() const { return reader.atEnd() && !storage.failed(); }
    bool diskFull() const override { return storage.diskFull(); }
    QString failure() const override { return storage.failure(); }
    qint64 dataBytes() const override { return storage.dataBytes(); }
    QList<StoredEntry> takeEntries() override { return storage.takeEntries(); }

private:
    bool folder(const QString &name) override { return storage.addFolder(name); }
    bool fileBegin(const QString &name, qint64 size) override;
    bool fileData(const char *data, qint64 length) override;
    bool fileEnd() override { return storage.endFile(); }

    StreamReader reader;
    ItemStorage storage;
};

#endif // PLAINITEMSTREAM_H
