#ifndef EXTENDEDPARTS_H
#define EXTENDEDPARTS_H

#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/itemstorage.h"
#include "receive/receiveplanner.h"
#include "receive/transferstore.h"

#include <QSet>

class HashCache;
class PartialRegistry;

// Stores the body of an extended transfer as the plan leaves it to come, through the same checks
// as the plain stream. Each file longer than one resume step goes to its partial file, listed with
// the records before its first byte and with its hash state at every step; a shorter one to a
// temporary file. Either is put in place only when its hash is the one the sender read. A skipped
// file must still be what the plan compared.
class ExtendedParts : public TransferStore, private ExtendedBodyReader::Handler
{
public:
    ExtendedParts(const SaveFolder &folder, const Manifest &manifest,
                  const ReceivePlanner::Result &planned, PartialRegistry *partials,
                  const QString &senderId);

    // Where the hashes of verified files are remembered; none by default.
    void setHashCache(HashCache *cache) { verified = cache; }
    // Where hash states are saved: ExtendedProtocol::resumeStep unless a test says otherwise.
    void setResumeStep(qint64 bytes) { step = bytes; }

    // Each file the plan skips is looked at once more, while the sender looks at its own.
    void begin() override;
    bool feed(const char *data, qint64 length) override;
    void finish() override;
    bool atEnd() const override { return reader.atEnd(); }
    bool failed() const override { return storage.failed(); }
    bool diskFull() const override { return storage.diskFull(); }
    QString failure() const override { return storage.failure(); }
    qint64 dataBytes() const override { return storage.dataBytes(); }
    QList<StoredEntry> takeEntries() override { return storage.takeEntries(); }
    int takeUnchanged() override { return storage.takeUnchanged(); }
    qint64 extraBytes() const override { return extra; }

private:
    bool folder(int index) override;
    bool skipped(int index) override;
    bool fileBegin(int index, qint64 offset) override;
    bool fileData(const char *data, qint64 length) override;
    bool fileEnd(int index, const ContentHash::Value &sent) override;

    void listPartial(int index, const QString &path, qint64 offset);
    void saveCheckpoint(const QString &path, qint64 offset, const ContentHash &hash);
    void dropPartial(const QString &path);

    const Manifest manifest;
    const ReceivePlanner::Result planned;
    PartialRegistry *partials;
    const QString senderId;
    ItemStorage storage;
    ExtendedBodyReader reader;
    HashCache *verified = nullptr;
    qint64 step = ExtendedProtocol::resumeStep;
    QSet<int> changed; // skipped files that are no longer what the plan compared
    bool looked = false;
    int current = -1;    // the file being written
    bool listed = false; // and whether it is in the list of partial files
    qint64 extra = 0;
};

#endif // EXTENDEDPARTS_H
